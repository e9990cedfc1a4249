// base64, the form in which a build travels from the server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base64.h"

namespace {

// The decoded bytes, or "<null>" when decoding refused the text.
std::string decode(const std::string& text) {
    size_t length = 12345;
    unsigned char* data = base64_decode(text.data(), text.size(), &length);
    if (data == nullptr) return "<null>";
    EXPECT_EQ(data[length], 0) << "decoded bytes are followed by a NUL";
    std::string bytes(reinterpret_cast<char*>(data), length);
    free(data);
    return bytes;
}

std::string encode(const std::string& bytes) {
    size_t length = 0;
    char* text = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length);
    std::string result(text, length);
    EXPECT_EQ(result, std::string(text));
    free(text);
    return result;
}

}  // namespace

TEST(Base64, KnownTextsInBothDirections) {
    const struct {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foobar", "Zm9vYmFy"},
        {std::string("\x00\xFF\xFE\x01", 4), "AP/+AQ=="},
        {"bird\x01\x01", "YmlyZAEB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.bytes), c.text);
        EXPECT_EQ(decode(c.text), c.bytes) << c.text;
    }
}

TEST(Base64, EveryByteValueSurvivesTheRoundTrip) {
    std::string bytes;
    for (int repeat = 0; repeat < 3; ++repeat) {
        for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
        EXPECT_EQ(decode(encode(bytes)), bytes);
        bytes += 'x';  // each length modulo 3
    }
}

TEST(Base64, DamagedTextIsRefused) {
    for (const std::string text : {
             "Zm9vYmF",       // truncated: length not a multiple of 4
             "Zm9vYmFy\r",    // a carriage return left on the line
             "Zm9v*mFy",      // outside the alphabet
             "Zm9vYm\nF",
             "Zm=v",          // padding inside the text
             "Z===",          // at most two pad characters
             "Zg==Zm9v",      // padding before the end
         }) {
        EXPECT_EQ(decode(text), "<null>") << text;
    }
}
