#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

std::atomic<unsigned> Log::package_bitmask{0};
std::atomic<FILE*> Log::fh{nullptr};
std::atomic<bool> Log::timestamped{false};

namespace {
// Formats shorter than this are continuation fragments and get no time stamp.
constexpr size_t TIMESTAMP_MIN_FORMAT = 10;
}

void Log::log(unsigned package, const char* format, ...) {
    if (!IsActive(package) || format == nullptr) return;

    if (timestamped && strlen(format) > TIMESTAMP_MIN_FORMAT) {
        char stamp[128];
        time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc);
        fprintf(stdout, "%s%s", stamp, SEPARATOR);
    }

    char line[LINE_LIMIT];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    size_t size = static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length) : sizeof line - 1;
    if (FILE* output = fh.load()) fwrite(line, 1, size, output);
}

void Log::SetOutput(FILE* output) { fh = output; }

void Log::ActivatePackage(unsigned mask) { package_bitmask |= mask; }

void Log::DeactivatePackage(unsigned mask) { package_bitmask &= ~mask; }

bool Log::IsActive(unsigned package) { return package == 0 || (package_bitmask & package) != 0; }
