#include "BuildNumber.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {
constexpr int DECIMAL = 10;
}

bool ParseBuildNumber(const std::string& text, unsigned& number) {
    const char* start = text.c_str();
    while (isspace(static_cast<unsigned char>(*start))) ++start;
    if (!isdigit(static_cast<unsigned char>(*start))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = strtoull(start, &end, DECIMAL);
    if (errno == ERANGE || value > UINT32_MAX) return false;
    number = static_cast<unsigned>(value);
    return true;
}
