#include "ReplaceFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>

namespace {
constexpr const char* TEMPORARY_PREFIX = ".partial-";

// The rename is only lasting once the directory that holds the name is on disk too; without this
// a power cut soon after a save could bring back the old file. A directory that cannot be synced
// leaves the new file in place all the same, so its failure is not the save's.
void sync_directory(const std::string& directory) {
    int descriptor = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return;
    fsync(descriptor);
    close(descriptor);
}
}  // namespace

qErr ReplaceFile(const std::string& path, const std::function<qErr(qFile* file)>& write_content) {
    // The process id and a counter keep concurrent writers, in this process or another, apart.
    static std::atomic<unsigned> sequence{0};
    size_t separator = path.rfind('/');
    std::string directory = separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
    std::string temporary = directory + TEMPORARY_PREFIX + std::to_string(getpid()) + "-" + std::to_string(sequence++);

    qFile* file = qFile_Open(temporary.c_str(), qFileModeWrite);
    if (file == nullptr) return qErrNotFound;
    qErr result = write_content(file);
    if (result == qErrNone) result = qFile_Sync(file);
    qErr closed = qFile_Close(&file);
    if (result == qErrNone) result = closed;
    if (result == qErrNone) result = qFile_Rename(temporary.c_str(), path.c_str());
    if (result != qErrNone) {
        qFile_Delete(temporary.c_str());
        return result;
    }
    sync_directory(directory);
    return qErrNone;
}
