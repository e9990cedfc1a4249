// Directory functions: existence, creation with parents, listing, removal, and path joining.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qError.h"

#define qDIR_PATH_SEP "/"
#define qDIR_PATH_SEP_CHAR '/'
#define qDIRECTORY_MAX_PATH 2048
#define qDIRECTORY_MAX_BUILD_PARTS 10

// What a listing hands to its callback for each entry.
typedef struct {
    const char* path;      // the listed directory and the entry name, joined
    uint32_t size;         // low 32 bits of the size in bytes
    uint32_t isDirectory;  // 1 or 0
} qDirectoryListData;

typedef bool (*qDirectoryListCallback)(const qDirectoryListData* entry, void* context);

bool qDirectory_Exists(const char* path);
// Creates the directory and every missing parent with the given mode.
// qErrNone when the directory exists at the end, qErrPermission when one could not be made.
qErr qDirectory_Ensure(const char* path, unsigned mode);
// Calls back once per entry ("." and ".." included) until the callback returns false.
qErr qDirectory_List(const char* path, qDirectoryListCallback callback, void* context);
qErr qDirectory_Delete(const char* path);
qErr qDirectory_DeleteTree(const char* path);
qErr qDirectory_CWD(char* buffer, size_t size);
qErr qDirectory_ExecutableFilePath(char* buffer, size_t size);
// The current user's home directory from the password database, else HOME.
qErr qDirectory_GetHomeDirectory(char* buffer, size_t size);
qErr qDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Joins up to ten texts (the list ends with a null) with single separators between them.
qErr qDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);
