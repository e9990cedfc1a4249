#include "qDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// mkdir that counts "already exists" (also when another process just made it) as success.
bool make_directory(const std::string& path, unsigned mode) {
    if (qDirectory_Exists(path.c_str())) return true;
    return mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

// Appends text to buffer, which already holds `length` characters; false when it does not fit.
bool append_part(char* buffer, size_t size, size_t& length, const char* text) {
    size_t space = size - length - 1;
    if (space > 1 && length > 0 && buffer[length - 1] != qDIR_PATH_SEP_CHAR && text[0] != qDIR_PATH_SEP_CHAR) {
        buffer[length++] = qDIR_PATH_SEP_CHAR;
        buffer[length] = '\0';
        --space;
    }
    size_t text_length = strlen(text);
    if (text_length >= space) return false;
    memcpy(buffer + length, text, text_length + 1);
    length += text_length;
    return true;
}

bool overlaps(const char* buffer, size_t size, const char* text) {
    return text >= buffer && text < buffer + size;
}

}  // namespace

bool qDirectory_Exists(const char* path) {
    if (path == nullptr) return false;
    struct stat status;
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

qErr qDirectory_Ensure(const char* path, unsigned mode) {
    if (path == nullptr || path[0] == '\0') return qErrParam;
    if (qDirectory_Exists(path)) return qErrNone;

    std::string full(path);
    // Find the deepest leading part that already exists, cutting at separators from the end.
    size_t start = 0;
    for (size_t cut = full.rfind(qDIR_PATH_SEP_CHAR); cut != std::string::npos && cut > 0;
         cut = full.rfind(qDIR_PATH_SEP_CHAR, cut - 1)) {
        if (qDirectory_Exists(full.substr(0, cut).c_str())) {
            start = cut + 1;
            break;
        }
    }

    // Walk forward, making each missing component.
    qErr result = qErrNone;
    for (size_t separator = full.find(qDIR_PATH_SEP_CHAR, start); separator != std::string::npos;
         separator = full.find(qDIR_PATH_SEP_CHAR, separator + 1)) {
        if (separator == 0) continue;  // the root of an absolute path
        if (!make_directory(full.substr(0, separator), mode)) {
            result = qErrPermission;
            break;
        }
    }
    if (!make_directory(full, mode)) return qErrPermission;
    return result;
}

qErr qDirectory_List(const char* path, qDirectoryListCallback callback, void* context) {
    if (path == nullptr || callback == nullptr) return qErrParam;
    DIR* directory = opendir(path);
    if (directory == nullptr) return qErrNotFound;
    char full_path[qDIRECTORY_MAX_PATH];
    while (struct dirent* entry = readdir(directory)) {
        if (qDirectory_JoinPath(full_path, sizeof full_path, path, entry->d_name) != qErrNone) continue;
        struct stat status;
        if (stat(full_path, &status) != 0) continue;
        qDirectoryListData data{full_path, static_cast<uint32_t>(status.st_size),
                                S_ISDIR(status.st_mode) ? 1u : 0u};
        if (!callback(&data, context)) break;
    }
    closedir(directory);
    return qErrNone;
}

qErr qDirectory_Delete(const char* path) {
    if (path == nullptr) return qErrParam;
    return rmdir(path) == 0 ? qErrNone : qErrUnknown;
}

qErr qDirectory_DeleteTree(const char* path) {
    if (path == nullptr) return qErrParam;
    DIR* directory = opendir(path);
    if (directory == nullptr) return qErrNotFound;
    qErr result = qErrNone;
    char full_path[qDIRECTORY_MAX_PATH];
    while (struct dirent* entry = readdir(directory)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        if (qDirectory_JoinPath(full_path, sizeof full_path, path, entry->d_name) != qErrNone) {
            result = qErrUnknown;
            continue;
        }
        struct stat status;
        if (lstat(full_path, &status) == 0 && S_ISDIR(status.st_mode)) {
            if (qDirectory_DeleteTree(full_path) != qErrNone) result = qErrUnknown;
        } else if (unlink(full_path) != 0) {
            fprintf(stderr, "qDirectory_DeleteTree: %s: %s\n", full_path, strerror(errno));
            printf("---error unlink-ing file [%s]\n", full_path);
            result = qErrUnknown;
        }
    }
    closedir(directory);
    if (rmdir(path) != 0) result = qErrUnknown;
    return result;
}

qErr qDirectory_CWD(char* buffer, size_t size) {
    if (buffer == nullptr || getcwd(buffer, size) == nullptr) return qErrParam;
    return qErrNone;
}

qErr qDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return qErrParam;
    ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    if (length < 0) {
        buffer[0] = '\0';
        return qErrRead;
    }
    buffer[length] = '\0';
    return qErrNone;
}

qErr qDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return qErrNone;
    const char* home = nullptr;
    struct passwd entry;
    struct passwd* found = nullptr;
    char scratch[4096];
    if (getpwuid_r(getuid(), &entry, scratch, sizeof scratch, &found) == 0 && found != nullptr) {
        home = found->pw_dir;
    } else {
        home = getenv("HOME");
    }
    snprintf(buffer, size, "%s", home != nullptr ? home : "");
    return qErrNone;
}

qErr qDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
    return qDirectory_BuildPath(buffer, size, first, second, static_cast<const char*>(nullptr));
}

qErr qDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
    if (buffer == nullptr || size == 0 || first == nullptr) return qErrParam;
    if (overlaps(buffer, size, first)) return qErrParam;

    const char* parts[qDIRECTORY_MAX_BUILD_PARTS];
    size_t part_count = 0;
    va_list arguments;
    va_start(arguments, first);
    for (const char* part = va_arg(arguments, const char*); part != nullptr;
         part = va_arg(arguments, const char*)) {
        if (part_count == qDIRECTORY_MAX_BUILD_PARTS - 1 || overlaps(buffer, size, part)) {
            va_end(arguments);
            buffer[0] = '\0';
            return qErrParam;
        }
        parts[part_count++] = part;
    }
    va_end(arguments);

    buffer[0] = '\0';
    size_t length = strlen(first);
    if (length >= size - 1) return qErrOverrun;
    memcpy(buffer, first, length + 1);
    for (size_t i = 0; i < part_count; ++i) {
        if (!append_part(buffer, size, length, parts[i])) return qErrOverrun;
    }
    return qErrNone;
}
