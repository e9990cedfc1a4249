#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "qFile.h"

struct qFile {
    uint16_t valid;
    int mode;
    FILE* stream;
};

namespace {

bool valid_file(const qFile* file) { return file != nullptr && file->valid == qVALIDFILE && file->stream; }

bool path_acceptable(const char* path) {
    return path != nullptr && path[0] != '\0' && strnlen(path, qFILE_MAX_PATH + 1) <= qFILE_MAX_PATH;
}

bool can_read(const qFile* file) { return file->mode == qFileModeRead || file->mode == qFileModeAppend; }
bool can_write(const qFile* file) { return file->mode == qFileModeWrite || file->mode == qFileModeAppend; }

}  // namespace

qFile* qFile_Open(const char* path, int mode) {
    static const char* const MODE_TEXT[] = {"rb", "wb", "ab+"};
    if (!path_acceptable(path) || mode < qFileModeRead || mode > qFileModeAppend) return nullptr;
    FILE* stream = fopen(path, MODE_TEXT[mode]);
    if (stream == nullptr) return nullptr;
    if (mode == qFileModeAppend && fseek(stream, 0, SEEK_END) != 0) {
        fclose(stream);
        return nullptr;
    }
    qFile* file = new (std::nothrow) qFile{qVALIDFILE, mode, stream};
    if (file == nullptr) fclose(stream);
    return file;
}

qErr qFile_Close(qFile** file) {
    if (file == nullptr) return qErrParam;
    qFile* record = *file;
    *file = nullptr;
    if (!valid_file(record)) return qErrParam;
    int result = fclose(record->stream);
    record->valid = 0;
    delete record;
    return result == 0 ? qErrNone : qErrIO;
}

bool qFile_Exists(const char* path) {
    if (!path_acceptable(path)) return false;
    struct stat status;
    return stat(path, &status) == 0 && !S_ISDIR(status.st_mode);
}

qErr qFile_Read(qFile* file, void* buffer, size_t length, size_t* count) {
    if (!valid_file(file) || buffer == nullptr) return qErrParam;
    if (!can_read(file)) return qErrMode;
    size_t read = fread(buffer, 1, length, file->stream);
    if (count != nullptr) *count = read;
    return (read == 0 && length > 0) ? qErrEOF : qErrNone;
}

qErr qFile_Write(qFile* file, const void* data, size_t length, size_t* count) {
    if (!valid_file(file) || data == nullptr) return qErrParam;
    if (!can_write(file)) return qErrMode;
    size_t written = fwrite(data, 1, length, file->stream);
    if (count != nullptr) *count = written;
    return (written == 0 && length > 0) ? qErrIO : qErrNone;
}

qErr qFile_Seek(qFile* file, long offset, int origin) {
    if (!valid_file(file)) return qErrParam;
    long position = ftell(file->stream);
    if (position < 0 || fseek(file->stream, 0, SEEK_END) != 0) return qErrIO;
    long size = ftell(file->stream);
    if (size < 0 || fseek(file->stream, position, SEEK_SET) != 0) return qErrIO;
    long base;
    switch (origin) {
        case 0: base = 0; break;
        case 1: base = position; break;
        case 2: base = size; break;
        default: return qErrParam;
    }
    long target = base + offset;
    if (target < 0 || target > size) return qErrRange;
    if (fseek(file->stream, target, SEEK_SET) != 0) return qErrIO;
    return ftell(file->stream) < 0 ? qErrIO : qErrNone;
}

qErr qFile_GetSize(qFile* file, size_t* size) {
    if (size == nullptr || !valid_file(file)) return qErrParam;
    *size = 0;
    long position = ftell(file->stream);
    if (position < 0 || fseek(file->stream, 0, SEEK_END) != 0) return qErrIO;
    long end = ftell(file->stream);
    if (fseek(file->stream, position, SEEK_SET) != 0 || end < 0) return qErrIO;
    *size = static_cast<size_t>(end);
    return qErrNone;
}

qErr qFile_GetPosition(qFile* file, size_t* position) {
    if (position == nullptr || !valid_file(file)) return qErrParam;
    long current = ftell(file->stream);
    if (current < 0) return qErrIO;
    if (current > 0) *position = static_cast<size_t>(current);
    return qErrNone;
}

qErr qFile_ReadLine(qFile* file, char* buffer, size_t size, size_t* length) {
    if (!valid_file(file) || buffer == nullptr || size == 0) return qErrParam;
    if (length != nullptr) *length = 0;
    memset(buffer, 0, size);
    if (!can_read(file)) return qErrMode;
    if (fgets(buffer, static_cast<int>(size), file->stream) == nullptr) {
        return ferror(file->stream) ? qErrIO : qErrEOF;
    }
    size_t line_length = strlen(buffer);
    if (length != nullptr) *length = line_length;
    bool filled = line_length == size - 1;
    bool ends_line = line_length > 0 && buffer[line_length - 1] == '\n';
    return (filled && !ends_line) ? qErrOverrun : qErrNone;
}

qErr qFile_Printf(qFile* file, const char* format, ...) {
    if (!valid_file(file) || format == nullptr) return qErrParam;
    if (!can_write(file)) return qErrMode;
    va_list arguments;
    va_start(arguments, format);
    int result = vfprintf(file->stream, format, arguments);
    va_end(arguments);
    return result < 0 ? qErrIO : qErrNone;
}

qErr qFile_SetUnbuffered(qFile* file) {
    if (!valid_file(file)) return qErrParam;
    if (!can_write(file)) return qErrMode;
    return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? qErrNone : qErrMode;
}

qErr qFile_Sync(qFile* file) {
    if (!valid_file(file)) return qErrParam;
    if (!can_write(file)) return qErrMode;
    if (fflush(file->stream) != 0) return qErrIO;
    return fsync(fileno(file->stream)) == 0 ? qErrNone : qErrIO;
}

qErr qFile_Delete(const char* path) {
    if (path == nullptr) return qErrParam;
    if (strnlen(path, qFILE_MAX_PATH + 1) > qFILE_MAX_PATH) return qErrFileNameLength;
    if (unlink(path) == 0) return qErrNone;
    switch (errno) {
        case ENOENT: return qErrNotFound;
        case EACCES: return qErrPermission;
        default: return qErrIO;
    }
}

qErr qFile_Rename(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return qErrParam;
    if (strnlen(from, qFILE_MAX_PATH + 1) > qFILE_MAX_PATH || strnlen(to, qFILE_MAX_PATH + 1) > qFILE_MAX_PATH) {
        return qErrFileNameLength;
    }
    if (rename(from, to) == 0) return qErrNone;
    switch (errno) {
        case ENOENT: return qErrNotFound;
        case EACCES:
        case EPERM: return qErrPermission;
        default: return qErrIO;
    }
}
