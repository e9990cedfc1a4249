#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "Log.h"
#include "ReplaceFile.h"
#include "TimeText.h"
#include "qFile.h"

namespace {

// Lines are read in pieces of this size; a longer line is joined from several pieces.
constexpr size_t LINE_BUFFER_SIZE = 2048;
// Shorter lines (newline included) cannot hold a key, "=" and a value.
constexpr size_t SHORTEST_ENTRY_LINE = 3;
constexpr char COMMENT_MARK = '#';
constexpr char KEY_VALUE_SEPARATOR = '=';

bool is_blank(char character) { return isspace(static_cast<unsigned char>(character)) != 0; }

std::string trimmed_right(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && is_blank(text[end - 1])) --end;
    return text.substr(0, end);
}

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    int length = vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, format, arguments);
    va_end(arguments);
    return text;
}

// atoi, without its undefined behaviour for numbers beyond int: those are clamped.
int to_int(const std::string& text) {
    long value = strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

KeyValueStore::KeyValueStore(const char* path) {
    if (path != nullptr) Load(path);
}

void KeyValueStore::Load(const char* path) {
    // No name, no file: an empty name must not turn into ".settings" in the working directory.
    if (path == nullptr || path[0] == '\0') return;
    qFile* file = qFile_Open(path, qFileModeRead);
    if (file == nullptr) {
        int error = errno;
        std::string now = CurrentTimeText();
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, error);
        Add(KEY_CREATED_TIME, now);
        Save(path);
    }
    path_ = path;
    dirty_ = false;
    if (file == nullptr) return;

    char buffer[LINE_BUFFER_SIZE];
    std::string line;
    for (;;) {
        size_t length = 0;
        qErr status = qFile_ReadLine(file, buffer, sizeof buffer, &length);
        if (status == qErrOverrun) {
            // The line goes on: keep what came and read the rest, so that no entry after a long
            // line is lost (the next save would otherwise drop it from the file for good).
            line.append(buffer, length);
            continue;
        }
        if (status != qErrNone) {
            if (status != qErrEOF) Log::log(DEBUG_Attributes, "Attibutes: Error (%d) reading '%s'\n", status, path);
            if (!line.empty()) ParseLine(line);
            break;
        }
        line.append(buffer, length);
        ParseLine(line);
        line.clear();
    }
    qFile_Close(&file);
}

void KeyValueStore::ParseLine(const std::string& line) {
    if (line.size() < SHORTEST_ENTRY_LINE || line[0] == COMMENT_MARK) return;
    size_t start = 0;
    while (start < line.size() && is_blank(line[start])) ++start;
    size_t separator = line.find(KEY_VALUE_SEPARATOR, start);
    if (separator == std::string::npos) {
        // Not an entry: nothing a save wrote, so it is passed over rather than guessed at.
        Log::log(DEBUG_Attributes, "Attibutes: skipping a line without '%c' in '%s'\n", KEY_VALUE_SEPARATOR,
                 path_.c_str());
        return;
    }
    std::string key = trimmed_right(line.substr(start, separator - start));
    size_t value_start = separator + 1;
    while (value_start < line.size() && is_blank(line[value_start])) ++value_start;
    entries_[key] = trimmed_right(line.substr(value_start));
}

void KeyValueStore::Save(const char* path) {
    if (path != nullptr && path[0] != '\0') {
        path_ = path;
    } else if (path_.empty()) {
        path_ = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 path_.c_str());
    }
    if (dirty_) Add(KEY_UPDATED_TIME, CurrentTimeText());

    qErr result = ReplaceFile(path_, [this](qFile* file) {
        for (const auto& [key, value] : entries_) {
            qErr written = qFile_Printf(file, "%s=%s\n", key.c_str(), value.c_str());
            if (written != qErrNone) return written;
        }
        return qErrNone;
    });
    if (result == qErrNotFound) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path_.c_str(), errno);
        return;
    }
    if (result != qErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error (%d) writing attributes file: '%s'; it is left as it was\n",
                 result, path_.c_str());
        return;
    }
    dirty_ = false;
}

const char* KeyValueStore::operator[](const std::string& key) const {
    auto entry = entries_.find(key);
    return entry == entries_.end() ? nullptr : entry->second.c_str();
}

const std::string& KeyValueStore::ValueOf(const std::string& key) { return entries_[key]; }

int KeyValueStore::GetInt(const std::string& key, int default_value) {
    const std::string& value = ValueOf(key);
    return value.empty() ? default_value : to_int(value);
}

unsigned KeyValueStore::GetHex(const std::string& key, unsigned default_value) {
    const std::string& value = ValueOf(key);
    return value.empty() ? default_value : static_cast<unsigned>(strtol(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool default_value) {
    const std::string& value = ValueOf(key);
    return value.empty() ? default_value : to_int(value) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double default_value) {
    const std::string& value = ValueOf(key);
    return value.empty() ? default_value : strtod(value.c_str(), nullptr);
}

std::string KeyValueStore::GetString(const std::string& key, const char* default_value) const {
    auto entry = entries_.find(key);
    if (entry != entries_.end()) return entry->second;
    return default_value == nullptr ? std::string() : std::string(default_value);
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
    std::string& current = entries_[key];
    if (current != value) {
        dirty_ = true;
        current = value;
    }
    return true;
}

bool KeyValueStore::Add(const std::string& key, int value) { return Add(key, formatted("%d", value)); }

bool KeyValueStore::Add(const std::string& key, double value) { return Add(key, formatted("%f", value)); }

bool KeyValueStore::Add(const std::string& key, const char* value) {
    return Add(key, value == nullptr ? std::string() : std::string(value));
}

bool KeyValueStore::AddHex(const std::string& key, unsigned value) { return Add(key, formatted("0x%08X", value)); }

bool KeyValueStore::Add(const KeyValueStore& other) {
    if (other.entries_.empty()) return true;
    for (const auto& [key, value] : other.entries_) entries_[key] = value;
    dirty_ = true;
    return true;
}

bool KeyValueStore::Clear() {
    entries_.clear();
    dirty_ = true;
    return true;
}
