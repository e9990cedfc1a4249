#include "qLogger.h"

#include <atomic>
#include <new>
#include <thread>

#include "qThread.h"

struct qLogger {
    uint16_t valid;
    qFile* file;
    qLoggerProcedure procedure;
    uint32_t reference;
    qThread* thread;
    std::atomic<bool> enabled;
    std::atomic<std::thread::id> runner;  // the logger thread's identity while it runs
};

namespace {

bool valid_logger(const qLogger* logger) { return logger != nullptr && logger->valid == qVALIDLOGGER; }

void* logger_thread(void* argument) {
    qLogger* logger = static_cast<qLogger*>(argument);
    logger->runner = std::this_thread::get_id();
    while (logger->enabled) logger->procedure(logger->file, logger->reference);
    return nullptr;
}

}  // namespace

qLogger* qLogger_Create(uint32_t reference, qLoggerProcedure procedure, const char* path) {
    if (procedure == nullptr || path == nullptr) return nullptr;
    qFile* file = qFile_Open(path, qFileModeWrite);
    if (file == nullptr) return nullptr;
    qLogger* logger = new (std::nothrow) qLogger{};
    if (logger == nullptr) {
        qFile_Close(&file);
        return nullptr;
    }
    // Unbuffered, so what was logged is in the file even if the process dies right after.
    qFile_SetUnbuffered(file);
    logger->file = file;
    logger->procedure = procedure;
    logger->reference = reference;
    logger->valid = qVALIDLOGGER;
    return logger;
}

qErr qLogger_Enable(qLogger* logger) {
    if (!valid_logger(logger)) return qErrParam;
    if (logger->thread != nullptr) return qErrNone;
    logger->enabled = true;
    logger->thread = qThread_Create(logger_thread, logger);
    if (logger->thread == nullptr) {
        logger->enabled = false;
        return qErrResource;
    }
    return qErrNone;
}

qErr qLogger_Disable(qLogger* logger) {
    if (!valid_logger(logger)) return qErrParam;
    // The logger's own thread looks at nothing else: only callers touch the thread handle.
    if (logger->runner.load() == std::this_thread::get_id()) return qErrNone;
    if (logger->thread == nullptr) return qErrNone;
    logger->enabled = false;
    int joined = qThread_Destroy(&logger->thread);
    logger->runner = std::thread::id();
    return joined == 0 ? qErrNone : qErrUnknown;
}

qFile* qLogger_GetFile(qLogger* logger) { return valid_logger(logger) ? logger->file : nullptr; }

qErr qLogger_Destroy(qLogger** logger) {
    if (logger == nullptr || !valid_logger(*logger)) return qErrParam;
    qErr result = qLogger_Disable(*logger);
    qFile_Close(&(*logger)->file);
    (*logger)->valid = 0;
    delete *logger;
    *logger = nullptr;
    return result;
}
