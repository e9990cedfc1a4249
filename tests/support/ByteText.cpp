#include "ByteText.h"

#include <cctype>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace test_support {

namespace {

uint8_t hex_pair(const std::string& token) {
    if (token.size() != 2 || !std::isxdigit(static_cast<unsigned char>(token[0])) ||
        !std::isxdigit(static_cast<unsigned char>(token[1]))) {
        throw std::invalid_argument("not a hexadecimal byte: " + token);
    }
    return static_cast<uint8_t>(std::stoul(token, nullptr, 16));
}

}  // namespace

Bytes bytes_of(const std::string& text) {
    std::istringstream tokens(text);
    Bytes bytes;
    std::string token;
    while (tokens >> token) bytes.push_back(hex_pair(token));
    return bytes;
}

std::string text_of(const Bytes& bytes) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += pair;
    }
    return text;
}

BytePattern::BytePattern(const std::string& text) : text_(text) {
    std::istringstream tokens(text);
    std::string token;
    while (tokens >> token) {
        if (token == "**") expected_.push_back(std::nullopt);
        else expected_.push_back(hex_pair(token));
    }
}

bool BytePattern::matches(const Bytes& bytes) const {
    if (bytes.size() != expected_.size()) return false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (expected_[i] && *expected_[i] != bytes[i]) return false;
    }
    return true;
}

}  // namespace test_support
