// Runs code in a child process that may not write files past a size limit, to show what a
// writer leaves behind when the process dies mid-write or the disk fills.
#pragma once

#include <cstddef>
#include <functional>

#include "ProcessRunner.h"

namespace test_support {

enum class AtTheLimit {
    ProcessDies,     // the kernel's file-size signal ends the process, as a crash would
    WriteFails,      // the write fails with an error, as on a full disk
};

ProcessResult run_with_file_size_limit(size_t limit_bytes, AtTheLimit behaviour, const std::function<void()>& body);

}  // namespace test_support
