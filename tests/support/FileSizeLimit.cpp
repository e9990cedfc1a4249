#include "FileSizeLimit.h"

#include <sys/resource.h>

#include <csignal>

namespace test_support {

ProcessResult run_with_file_size_limit(size_t limit_bytes, AtTheLimit behaviour, const std::function<void()>& body) {
    return run_function([&] {
        struct rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        if (behaviour == AtTheLimit::WriteFails) signal(SIGXFSZ, SIG_IGN);
        struct rlimit size_limit = {limit_bytes, limit_bytes};
        setrlimit(RLIMIT_FSIZE, &size_limit);
        body();
    });
}

}  // namespace test_support
