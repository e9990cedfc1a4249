#include "UpdaterEntity.h"

#include <algorithm>
#include <chrono>

#include "Link.h"
#include "Log.h"
#include "SystemClass.h"
#include "qPacket.h"
#include "qTime.h"

using Tolveric::Lumenvane::Link;
using Tolveric::Lumenvane::Module;
using Tolveric::Lumenvane::SystemClass;

namespace {

// Sub-commands of the upgrade command.
constexpr uint8_t val_UPGRADE_INIT = 0;
constexpr uint8_t val_UPGRADE_DATA = 1;
constexpr uint8_t val_UPGRADE_LOAD = 2;
constexpr uint8_t val_UPGRADE_PREPARE = 3;
constexpr uint8_t val_UPGRADE_SUM = 4;
constexpr uint8_t val_UPGRADE_WRITE = 5;
constexpr uint8_t val_UPGRADE_REBOOT = 6;
// The loader's answer to PREPARE, SUM and WRITE.
constexpr uint8_t val_UPGRADE_STATUS = 7;
// The UEI option that takes a whole piece as one byte array.
constexpr uint8_t val_UPGRADE_DATA_UEI = 10;

// A packet's 28 data bytes less the command and sub-command.
constexpr uint32_t UPGRADE_DATA_MAX = 26;
// A loader that keeps taking another byte count than it was sent is given the same chunk this
// many more times before the transfer is given up.
constexpr unsigned DATA_RESEND_LIMIT = 5;

// Reply layouts: command, sub-command, then the fields.
constexpr uint8_t REPLY_FIELD = 2;            // INIT load base, DATA count, status byte
constexpr uint8_t INIT_REPLY_MIN_LENGTH = 6;  // command, sub-command, load base
constexpr uint8_t PREPARE_BLOCK_SIZE = 3;     // after the status byte
constexpr uint8_t PREPARE_REPLY_LENGTH = 5;
constexpr uint8_t SUM_VALUE = 3;              // after the status byte
constexpr uint8_t SUM_REPLY_LENGTH = 7;
constexpr uint8_t STATUS_OK = 0;

constexpr uint32_t ADDRESS_SIZE = 4;

// Reconnecting after the module went away.
constexpr unsigned RECONNECT_ATTEMPTS = 5;
constexpr uint32_t DEFAULT_LOADER_SERIAL = 0xEBEBEBFF;
constexpr uint32_t LOADER_START_RECONNECT_DELAY_MS = 500;

// Waiting for a rebooting module to drop its link: one look every 250 ms, and no more than a few
// seconds in all, so a module that keeps its link up cannot hold the tool.
constexpr uint64_t LINK_DROP_POLL_MS = 250;
constexpr std::chrono::milliseconds LINK_DROP_WAIT_LIMIT{3000};
constexpr const char* REBOOT_SPINNER_LABEL = "Verifying Update";

// Asking the module what it takes.
constexpr uint8_t UEI_SET_FLAG = 0x80;
constexpr uint8_t SYSTEM_ENTITY_INDEX = 0;
constexpr uint32_t POOLED_PACKETS_FEATURE = 0x80000000u;

uint32_t big_endian_32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

uint32_t little_endian_32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[3]) << 24) | (static_cast<uint32_t>(bytes[2]) << 16) |
           (static_cast<uint32_t>(bytes[1]) << 8) | bytes[0];
}

uint32_t byte_sum(const uint8_t* data, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t at = 0; at < length; ++at) sum += data[at];
    return sum;
}

}  // namespace

UpdaterEntity::UpdaterEntity() = default;

UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module* target, uint8_t index, bool sumCheck, bool skipDropWait) {
    EntityClass::init(target, cmdUPGRADE, index);
    module = target;
    validateSum = sumCheck;
    skipLinkDropWait = skipDropWait;
    useUEIData = false;
}

qErr UpdaterEntity::_await(uint8_t sub, uint8_t* reply, uint8_t& replyLength) {
    const uint8_t match[] = {cmdUPGRADE, sub};
    replyLength = sizeof match;
    return receivePacket(match, &replyLength, reply);
}

qErr UpdaterEntity::LoaderInit() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    const uint8_t request[] = {val_UPGRADE_INIT};
    qErr result = sendPacket(cmdUPGRADE, sizeof request, request);
    if (result != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", result);
        return result;
    }
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t length = 0;
    result = _await(val_UPGRADE_INIT, reply, length);
    if (result != qErrNone) return result;
    if (length < INIT_REPLY_MIN_LENGTH) return qErrPacket;
    const uint32_t loadBase = big_endian_32(reply + REPLY_FIELD);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(loadBase), loadBase);
    return qErrNone;
}

qErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t option, uint16_t& blockSize) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), option,
             blockSize);
    // Without its four address bytes a block has nowhere to go.
    if (block == nullptr || length < ADDRESS_SIZE) return qErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
             option, block[0], block[1], block[2], block[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(big_endian_32(block)));

    const uint8_t request[] = {val_UPGRADE_PREPARE, option, block[0], block[1], block[2], block[3]};
    qErr result = sendPacket(cmdUPGRADE, sizeof request, request);
    if (result != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", result);
        return result;
    }
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    result = _await(val_UPGRADE_STATUS, reply, replyLength);
    if (result != qErrNone) return result;
    if (replyLength <= REPLY_FIELD || reply[REPLY_FIELD] != STATUS_OK) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return qErrInvalidOption;
    }
    // A status of 0 without the block size is no answer to go on from.
    if (replyLength < PREPARE_REPLY_LENGTH) return qErrPacket;
    blockSize = static_cast<uint16_t>((reply[PREPARE_BLOCK_SIZE] << 8) | reply[PREPARE_BLOCK_SIZE + 1]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", blockSize);
    return qErrNone;
}

qErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& packets,
                                               uint32_t& sum) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
             static_cast<int>(length));
    qErr result = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
    if (result != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", result);
        return result;
    }
    sum += byte_sum(data, length);
    packets = 1;
    return qErrNone;
}

qErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t remaining = length;
    uint32_t sum = 0;
    qErr result = qErrNone;

    if (useUEIData) {
        result = _block_transfer_uei_helper(data, length, packets, sum);
        if (result != qErrNone) return result;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
    } else {
        unsigned resends = 0;
        const uint8_t* next = data;
        while (remaining > 0 && result == qErrNone) {
            const uint32_t chunk = std::min(remaining, UPGRADE_DATA_MAX);
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
                     static_cast<int>(chunk));
            uint8_t request[qPACKET_MAX_DATA] = {val_UPGRADE_DATA};
            std::copy(next, next + chunk, request + 1);
            result = sendPacket(cmdUPGRADE, static_cast<uint8_t>(chunk + 1), request);
            if (result != qErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", result);
                return result;
            }
            uint8_t reply[qPACKET_MAX_DATA];
            uint8_t replyLength = 0;
            if (_await(val_UPGRADE_DATA, reply, replyLength) != qErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                result = qErrPacket;
                break;
            }
            const int accepted = replyLength > REPLY_FIELD ? reply[REPLY_FIELD] : -1;
            if (accepted != static_cast<int>(chunk)) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted,
                         static_cast<int>(chunk));
                if (++resends > DATA_RESEND_LIMIT) {
                    Log::log(DEBUG_ALWAYS, "\nNETWORK: Loader kept refusing the data after %u re-sends.\n",
                             DATA_RESEND_LIMIT);
                    result = qErrPacket;
                }
                continue;
            }
            resends = 0;
            sum += byte_sum(next, chunk);
            next += chunk;
            remaining -= chunk;
            ++packets;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     static_cast<int>(chunk), static_cast<int>(remaining), static_cast<int>(length));
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
             static_cast<int>(length));
    if (result != qErrNone || !validateSum) return result;

    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    const uint8_t request[] = {val_UPGRADE_SUM};
    // A request that did not go out shows as a missing reply.
    sendPacket(cmdUPGRADE, sizeof request, request);
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    if (_await(val_UPGRADE_STATUS, reply, replyLength) != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return qErrPacket;
    }
    const uint8_t status = replyLength > REPLY_FIELD ? reply[REPLY_FIELD] : 0xFF;
    const uint32_t loaderSum = replyLength >= SUM_REPLY_LENGTH ? big_endian_32(reply + SUM_VALUE) : ~sum;
    if (status == STATUS_OK && replyLength >= SUM_REPLY_LENGTH && loaderSum == sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 loaderSum, static_cast<int>(packets));
        return qErrNone;
    }
    Log::log(DEBUG_ALWAYS, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, loaderSum);
    return qErrInvalidOption;
}

qErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length) {
    if (block == nullptr || length < ADDRESS_SIZE) return qErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", little_endian_32(block),
             static_cast<int>(length - ADDRESS_SIZE));
    uint32_t packets = 0;
    return _block_transfer(block + ADDRESS_SIZE, length - ADDRESS_SIZE, packets);
}

qErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
    if (block == nullptr || length < ADDRESS_SIZE) return qErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", big_endian_32(block),
             static_cast<int>(length - ADDRESS_SIZE));
    // Pieces of no bytes would never finish the block.
    if (blockSize == 0) {
        Log::log(DEBUG_ALWAYS, "NETWORK: Loader announced a block size of 0; nothing sent\n");
        return qErrInvalidOption;
    }
    uint32_t remaining = length - ADDRESS_SIZE;
    const uint8_t* next = block + ADDRESS_SIZE;
    uint32_t counter = 0;
    qErr result = qErrNone;

    // Progress lines and the bar share the terminal: the log goes without time stamps meanwhile.
    const bool timestamped = Log::timestamped.exchange(false);
    display.display_progress(true);
    while (remaining > 0 && result == qErrNone) {
        const uint32_t piece = std::min<uint32_t>(remaining, blockSize);
        result = _block_transfer(next, piece, counter);
        if (result != qErrNone) break;
        next += piece;
        remaining -= piece;
        ++counter;
        display.update_progress(static_cast<double>(length - remaining) / static_cast<double>(length), nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 static_cast<int>(piece), static_cast<int>(remaining), static_cast<int>(length));
        result = FirmwareWrite(piece);
    }
    display.display_progress(false);
    Log::timestamped = timestamped;
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
             static_cast<int>(length));
    if (result != qErrNone) Log::log(DEBUG_ALWAYS, "NETWORK: Failed to transfer firmware\n");
    return result;
}

qErr UpdaterEntity::FirmwareWrite(uint32_t length) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             static_cast<int>(length));
    const uint8_t request[] = {val_UPGRADE_WRITE, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    qErr result = sendPacket(cmdUPGRADE, sizeof request, request);
    if (result != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", result,
                 qError_GetErrorText(result));
        return result;
    }
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    if (_await(val_UPGRADE_STATUS, reply, replyLength) != qErrNone || replyLength <= REPLY_FIELD ||
        reply[REPLY_FIELD] != STATUS_OK) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return qErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return qErrNone;
}

qErr UpdaterEntity::LoaderStart() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    const uint8_t request[] = {val_UPGRADE_LOAD};
    qErr result = sendPacket(cmdUPGRADE, sizeof request, request);
    if (result != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", result);
        return result;
    }
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    if (_await(val_UPGRADE_LOAD, reply, replyLength) == qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return qErrNone;
    }

    // The new loader may have come up before its answer reached us: look for it again.
    result = _reconnect(LOADER_START_RECONNECT_DELAY_MS);
    if (result != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", result,
                 qError_GetErrorText(result));
        return qErrTimeout;
    }
    result = _await(val_UPGRADE_LOAD, reply, replyLength);
    if (result != qErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", result,
                 qError_GetErrorText(result));
        return qErrTimeout;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return qErrNone;
}

qErr UpdaterEntity::_reconnect(uint32_t delayMs) {
    if (module == nullptr) return qErrResource;
    module->disconnect();
    qErr result = qErrConnection;
    for (unsigned attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
        Log::log(DEBUG_Network_Link, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
                 RECONNECT_ATTEMPTS);
        result = module->reconnect();
        if (result == qErrNone) {
            Log::log(DEBUG_Network_Link, "NETWORK: Reconnected to device\n");
            return qErrNone;
        }
        Log::log(DEBUG_Network_Link, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", delayMs);
        qTime_MSSleep(delayMs);
    }
    // A module that restarted into a fresh loader answers under the loader's serial number.
    for (unsigned attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
        Log::log(DEBUG_Network_Link, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", attempt,
                 RECONNECT_ATTEMPTS);
        result = module->connect(linkTypeUSB, DEFAULT_LOADER_SERIAL);
        if (result == qErrNone) {
            Log::log(DEBUG_Network_Link, "NETWORK: Reconnected to device\n");
            return qErrNone;
        }
        Log::log(DEBUG_Network_Link, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", delayMs);
        qTime_MSSleep(delayMs);
    }
    return result;
}

qErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    const uint8_t request[] = {val_UPGRADE_REBOOT};
    qErr result = sendPacket(cmdUPGRADE, sizeof request, request);
    if (result != qErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");

    const auto deadline = std::chrono::steady_clock::now() + LINK_DROP_WAIT_LIMIT;
    while (module != nullptr && module->isConnected()) {
        qTime_MSSleep(LINK_DROP_POLL_MS);
        display.update_spinner(true, REBOOT_SPINNER_LABEL);
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (skipLinkDropWait) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            Log::log(DEBUG_ALWAYS, "NETWORK: Link still up %lld ms after the reboot request; not waiting longer\n",
                     static_cast<long long>(LINK_DROP_WAIT_LIMIT.count()));
            break;
        }
    }
    display.update_spinner(false, REBOOT_SPINNER_LABEL);
    return result;
}

qErr UpdaterEntity::CheckUEIDataSupport() {
    qErr result = module != nullptr ? module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, getIndex(), UEI_SET_FLAG)
                                    : qErrResource;
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", result);
    if (result == qErrNone) useUEIData = true;
    return result;
}

qErr UpdaterEntity::CheckPooledPacketsSupport() {
    SystemClass system;
    system.init(module, SYSTEM_ENTITY_INDEX);
    uint32_t features = 0;
    qErr result = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int>(features), result);
    if (result != qErrNone) return result;
    if ((features & POOLED_PACKETS_FEATURE) == 0) return qErrNone;
    Link* link = module != nullptr ? module->getLink() : nullptr;
    if (link == nullptr) return qErrConnection;
    return link->enablePooledPackets(true);
}
