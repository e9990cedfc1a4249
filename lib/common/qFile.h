// Files for the link library and the application, reporting qErr codes instead of errno.
#pragma once

#include <cstddef>

#include "qError.h"

#define qVALIDFILE 0xFEED
#define qFILE_MAX_PATH 4096

enum qFileMode {
    qFileModeRead = 0,    // "rb"
    qFileModeWrite = 1,   // "wb": truncate or create
    qFileModeAppend = 2,  // "ab+": append and read, positioned at the end
};

typedef struct qFile qFile;

// None when the path is null, empty or longer than 4096 characters, the mode is unknown,
// or the file cannot be opened.
qFile* qFile_Open(const char* path, int mode);
// Closes and frees the record and clears the caller's pointer in every case.
qErr qFile_Close(qFile** file);
// True for an existing entry that is not a directory.
bool qFile_Exists(const char* path);
qErr qFile_Read(qFile* file, void* buffer, size_t length, size_t* count);
qErr qFile_Write(qFile* file, const void* data, size_t length, size_t* count);
// origin: 0 start, 1 current position, 2 end. The target must lie within the file.
qErr qFile_Seek(qFile* file, long offset, int origin);
qErr qFile_GetSize(qFile* file, size_t* size);
qErr qFile_GetPosition(qFile* file, size_t* position);
// Reads one line, newline included, into at most size - 1 characters.
// qErrOverrun when the line did not fit; the rest of it stays unread.
qErr qFile_ReadLine(qFile* file, char* buffer, size_t size, size_t* length);
qErr qFile_Printf(qFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
qErr qFile_SetUnbuffered(qFile* file);
// Hands everything written so far to the system and waits until it is on the storage device.
// qErrIO when either step fails (a full disk shows here at the latest).
qErr qFile_Sync(qFile* file);
qErr qFile_Delete(const char* path);
// Renames in one step, replacing an existing file at `to`: a reader of `to` sees the old file or
// the new one, never a mixture. qErrNotFound when `from` is missing, qErrPermission when access
// is refused, qErrFileNameLength for a path over 4096 characters, qErrIO otherwise.
qErr qFile_Rename(const char* from, const char* to);
