// File streams: a qStream over a qFile, for reading a file or writing one.
#include <new>

#include "qFile.h"
#include "qStream.h"

namespace {

qErr file_get(uint8_t* byte, void* reference) {
    if (reference == nullptr) return qErrIO;
    return qFile_Read(static_cast<qFile*>(reference), byte, 1, nullptr);
}

qErr file_read_available(uint8_t* buffer, size_t capacity, size_t* count, void* reference) {
    if (reference == nullptr) return qErrIO;
    return qFile_Read(static_cast<qFile*>(reference), buffer, capacity, count);
}

// A file never makes a reader wait: the next read gives bytes or the end.
qErr file_wait_readable(uint32_t, void*) { return qErrNone; }

qErr file_put(const uint8_t* byte, void* reference) {
    if (reference == nullptr) return qErrIO;
    return qFile_Write(static_cast<qFile*>(reference), byte, 1, nullptr);
}

qErr file_write(const uint8_t* data, size_t length, void* reference) {
    if (reference == nullptr) return qErrIO;
    size_t written = 0;
    qErr result = qFile_Write(static_cast<qFile*>(reference), data, length, &written);
    return (result == qErrNone && written != length) ? qErrIO : result;
}

qErr file_delete(void* reference) {
    if (reference == nullptr) return qErrIO;
    qFile* file = static_cast<qFile*>(reference);
    return qFile_Close(&file);
}

qErr create_file_stream(const char* path, int mode, qStream** stream) {
    if (stream == nullptr) return qErrResource;
    *stream = nullptr;
    if (path == nullptr) return qErrResource;
    qFile* file = qFile_Open(path, mode);
    if (file == nullptr) return qErrResource;

    qStream* made = mode == qFileModeRead ? qStream_Create(file_get, nullptr, nullptr, file_delete, file)
                                          : qStream_Create(nullptr, file_put, file_write, file_delete, file);
    if (made == nullptr) {
        qFile_Close(&file);
        return qErrResource;
    }
    if (mode == qFileModeRead) qStream_SetReadyOperations(made, file_read_available, file_wait_readable);
    *stream = made;
    return qErrNone;
}

}  // namespace

qErr qStream_CreateFileInput(const char* path, qStream** stream) {
    return create_file_stream(path, qFileModeRead, stream);
}

qErr qStream_CreateFileOutput(const char* path, qStream** stream) {
    return create_file_stream(path, qFileModeWrite, stream);
}
