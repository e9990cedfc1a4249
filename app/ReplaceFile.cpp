#include "ReplaceFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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

// The writer's process id from a temporary file's name (".partial-PID-N"), or 0 when the name is
// not one of ours.
pid_t writer_of(const char* name) {
    size_t prefix = strlen(TEMPORARY_PREFIX);
    if (strncmp(name, TEMPORARY_PREFIX, prefix) != 0) return 0;
    char* end = nullptr;
    errno = 0;
    long pid = strtol(name + prefix, &end, 10);
    if (errno != 0 || end == name + prefix || *end != '-' || pid <= 0) return 0;
    return static_cast<pid_t>(pid);
}

// Removes the temporary files that writers which no longer run left behind (a crash mid-save).
// A file whose writer may still run is left alone, so a save in progress is never disturbed.
void remove_stale_temporaries(const std::string& directory) {
    DIR* listing = opendir(directory.empty() ? "." : directory.c_str());
    if (listing == nullptr) return;
    while (dirent* entry = readdir(listing)) {
        pid_t writer = writer_of(entry->d_name);
        if (writer == 0 || writer == getpid()) continue;
        if (kill(writer, 0) == 0 || errno != ESRCH) continue;
        unlink((directory + entry->d_name).c_str());
    }
    closedir(listing);
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
    remove_stale_temporaries(directory);
    return qErrNone;
}
