// The upgrade entity (command 0x5F) of a running module: it drives the module's own loader. The
// host initialises the loader, announces each image block with its load address and learns the
// block size the loader takes, streams the bytes (small data packets, or one UEI byte array on
// modules that take it), has the loader confirm a 32-bit byte sum, tells it to write what it
// received, starts a newly sent loader, and finally reboots the module into its new firmware.
//
// Every request is one raw packet "5F SUB ..." (multi-byte fields big-endian) awaited one at a
// time; every wait is bounded. An entity owns nothing: the Module must outlive it.
#pragma once

#include <cstdint>

#include "Entity.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "qError.h"

class UpdaterEntity : public Tolveric::Lumenvane::EntityClass {
public:
    static constexpr uint8_t cmdUPGRADE = 0x5F;

    // Attempt counts of the update procedure around this entity: reconnections after the loader
    // started, and tries of one firmware block.
    static constexpr unsigned CONNECT_ATTEMPTS = 15;
    static constexpr unsigned BLOCK_RETRIES = 5;

    UpdaterEntity();
    ~UpdaterEntity() override;

    // Binds command 0x5F and the index, keeps the module and the two flags, and goes back to the
    // data-packet path.
    void init(Tolveric::Lumenvane::Module* module, uint8_t index, bool validateSum, bool skipLinkDropWait);

    // Starts a loader session; the reply carries the load base, which is only logged.
    qErr LoaderInit();
    // Announces one image block (its first 4 bytes are its big-endian load address) with its
    // flags as the option byte; blockSize receives the most the loader takes between writes.
    // qErrInvalidOption when the loader refuses; qErrParam for a block too short to hold its address.
    qErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t option, uint16_t& blockSize);
    // Sends a loader block's bytes after its address as one transfer (no write follows).
    qErr LoaderTransfer(const uint8_t* block, uint32_t length);
    // Sends a firmware block in pieces of blockSize bytes, each checked by sum and then written,
    // showing progress. A block size of 0 is refused (qErrInvalidOption) before anything is sent.
    qErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize, UpdaterDisplayInterface& display);
    // Has the loader write what it took since the last write: qErrInvalidOption unless confirmed.
    qErr FirmwareWrite(uint32_t length);
    // Starts the loader that was sent; when no answer comes, reconnects and awaits it once more
    // (qErrTimeout when it still does not come).
    qErr LoaderStart();
    // Reboots the module into its firmware and waits, a bounded time, for its link to drop.
    qErr LoaderReboot(UpdaterDisplayInterface& display);
    // Whether the module takes block data as a UEI byte array (option 10); switches that path on.
    qErr CheckUEIDataSupport();
    // Switches pooled packets on when the module's protocol features ask for them (bit 31).
    qErr CheckPooledPacketsSupport();

    bool validateSum = true;
    bool skipLinkDropWait = false;
    bool useUEIData = false;

private:
    // One transfer: the bytes, then (with validateSum) the loader's sum compared with ours.
    qErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets);
    qErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& packets, uint32_t& sum);
    // Reconnects after the module went away: from the stored specifier, then as the USB module
    // with the loader's default serial number; delayMs between failed attempts.
    qErr _reconnect(uint32_t delayMs);
    // Awaits the reply that begins with cmdUPGRADE and `sub`; `reply` has room for a packet's data.
    qErr _await(uint8_t sub, uint8_t* reply, uint8_t& replyLength);

    Tolveric::Lumenvane::Module* module = nullptr;
};
