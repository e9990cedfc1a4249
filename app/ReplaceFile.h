// Replaces a file so that a reader sees either its old content or its new content, never a part
// of it, even when the process dies or the disk fills while it writes.
#pragma once

#include <functional>
#include <string>

#include "qError.h"
#include "qFile.h"

// Lets write_content fill a hidden temporary file in the directory of `path` (its name begins
// with ".", so store listings pass over one that a crash left behind), puts it on the storage
// device and renames it over `path`. On any failure the temporary file is removed, `path` is left
// as it was, and the failing step's code is returned: qErrNotFound when the temporary file cannot
// be created (errno then tells why), else the code of write_content, of the sync, the close or the
// rename. After a successful save, temporary files in that directory whose writer no longer runs
// (left by a crash) are removed.
qErr ReplaceFile(const std::string& path, const std::function<qErr(qFile* file)>& write_content);
