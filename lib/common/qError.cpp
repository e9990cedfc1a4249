#include "qError.h"

namespace {

constexpr unsigned ERROR_COUNT = 35;

const char* const ERROR_TEXT[ERROR_COUNT] = {
    "qErrNone",          "qErrMemory",        "qErrParam",          "qErrNotFound",
    "qErrFileNameLength", "qErrBusy",         "qErrIO",             "qErrMode",
    "qErrWrite",         "qErrRead",          "qErrEOF",            "qErrNotReady",
    "qErrPermission",    "qErrRange",         "qErrSize",           "qErrOverrun",
    "qErrParse",         "qErrConfiguration", "qErrTimeout",        "qErrInitialization",
    "qErrVersion",       "qErrUnimplemented", "qErrDuplicate",      "qErrCancel",
    "qErrPacket",        "qErrConnection",    "qErrIndexRange",     "qErrShortCommand",
    "qErrInvalidEntity", "qErrInvalidOption", "qErrResource",       "qErrMedia",
    "qErrAsyncReturn",   "qErrStreamStale",   "qErrUnknown",
};

const char* const ERROR_DESCRIPTION[ERROR_COUNT] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Lumenvane command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

// The comparison is unsigned so that negative values also land on qErrUnknown.
unsigned table_index(qErr error) {
    unsigned index = static_cast<unsigned>(error);
    return index > qErrUnknown ? static_cast<unsigned>(qErrUnknown) : index;
}

}  // namespace

const char* qError_GetErrorText(qErr error) { return ERROR_TEXT[table_index(error)]; }

const char* qError_GetErrorDescription(qErr error) { return ERROR_DESCRIPTION[table_index(error)]; }
