#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
    if (muted || format == nullptr) return;
    char text[MESSAGE_LIMIT];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (level == LEVEL_ERROR) {
        error_message(text);
    } else {
        info_message(text);
    }
}
