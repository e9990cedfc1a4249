// The packet log: the engine records every packet written and received in the link's debug
// buffer, and a logger thread writes the records to a file, one line each.
#include <chrono>

#include "LinkImpl.h"
#include "qPacketDebug.h"
#include "qTime.h"

namespace Tolveric::Lumenvane {

namespace {

// The first record of every log.
constexpr char START_TEXT[] = "START";
// How long the logger rests when there is nothing to write.
constexpr uint64_t LOGGER_IDLE_MS = 5;
// How long closing a log may spend writing what the logger thread left.
constexpr std::chrono::milliseconds PACKET_LOG_DRAIN_LIMIT{200};

// Writes the oldest record as "COUNT > 0x.. 0x.. " (written) or "COUNT < ..." (received; text
// records as their characters); false when there was none to write.
bool write_one_record(qFile* file, qLinkID link) {
    uint8_t kind = 0;
    // Room for the longest record there is, so no record can block the ones behind it.
    uint8_t record[qPACKETLOG_MAX_RECORD];
    size_t length = sizeof record;
    if (qLink_PacketDebug_Read(link, &kind, &length, record) != qErrNone) return false;
    qFile_Printf(file, "%d %s ", static_cast<int>(length), kind == qPacketLogWritten ? ">" : "<");
    for (size_t i = 0; i < length; ++i) {
        if (kind == qPacketLogText) {
            qFile_Printf(file, "%c", record[i]);
        } else {
            qFile_Printf(file, "0x%X ", record[i]);
        }
    }
    qFile_Printf(file, "\r\n");
    return true;
}

// The logger's procedure. It rests whenever nothing was written, not only when the buffer is
// empty: a link that was remade or destroyed has no buffer, and must not keep the thread busy.
void readDebugBuffer(qFile* file, uint32_t link) {
    if (!write_one_record(file, link)) qTime_MSSleep(LOGGER_IDLE_MS);
}

}  // namespace

void Link::impl::closePacketLog() {
    if (logger == nullptr) return;
    if (packetLogOn) {
        qLogger_Disable(logger);
        // What the thread had not written yet still goes into the file.
        drainPacketLog();
        packetLogOn = false;
    }
    qLogger_Destroy(&logger);
}

void Link::impl::drainPacketLog() {
    if (logger == nullptr || linkRef == 0) return;
    qFile* file = qLogger_GetFile(logger);
    if (file == nullptr) return;
    // A running link keeps adding records: the drain takes what is there, within a bound.
    auto deadline = std::chrono::steady_clock::now() + PACKET_LOG_DRAIN_LIMIT;
    while (std::chrono::steady_clock::now() < deadline && write_one_record(file, linkRef)) {
    }
}

qErr Link::enablePacketLog(const char* path) {
    if (pimpl->linkRef == 0) return qErrConfiguration;
    qErr result = qLink_PacketDebug_Enable(pimpl->linkRef);
    if (result != qErrNone) return result;
    if (pimpl->logger == nullptr) {
        pimpl->logger = qLogger_Create(pimpl->linkRef, readDebugBuffer, path);
        if (pimpl->logger == nullptr) return qErrResource;
    }
    result = qLogger_Enable(pimpl->logger);
    if (result == qErrNone) {
        pimpl->packetLogOn = true;
        result = qLink_PacketDebug_Write(pimpl->linkRef, qPacketLogText, sizeof START_TEXT, START_TEXT);
    }
    return result;
}

qErr Link::disablePacketLog() {
    if (pimpl->linkRef == 0) return qErrConfiguration;
    qLink_PacketDebug_Disable(pimpl->linkRef);
    if (pimpl->logger == nullptr) return qErrNone;
    qErr result = qLogger_Disable(pimpl->logger);
    // Everything up to now is in the file when the log is switched off.
    if (pimpl->packetLogOn) pimpl->drainPacketLog();
    pimpl->packetLogOn = false;
    return result;
}

}  // namespace Tolveric::Lumenvane
