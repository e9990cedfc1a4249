#include "TimeText.h"

#include <ctime>

namespace {
// ctime_r needs 26 bytes: 24 characters, the newline and the NUL.
constexpr size_t CTIME_BUFFER_SIZE = 26;
}

std::string CurrentTimeText() {
    char buffer[CTIME_BUFFER_SIZE] = {};
    time_t now = time(nullptr);
    if (ctime_r(&now, buffer) == nullptr) return {};
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}
