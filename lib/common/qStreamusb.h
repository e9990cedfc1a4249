// USB streams: one module attached by USB, as a byte stream for a link.
//
// Reads hand out the bytes of the last bulk transfer one by one (or all at once through
// qStream_ReadAvailable) and wait up to 1000 ms for the next transfer when none are left;
// writes go out as chunked bulk transfers. The device layer below is lvusb_driver.h.
#pragma once

#include <cstdint>

#include "qStream.h"

#define qVALIDUSBS 0xDEAD

// Opens the module with this serial number: through its kernel node "/dev/lumenvane.%08X"
// when one exists, else through libusb. The out pointer is cleared first. qErrParam for a null
// out pointer or serial number 0, qErrMemory or qErrResource when records cannot be made, and
// otherwise the open's result (qErrNotFound when no such module is attached, qErrBusy when
// another program holds it, qErrPermission, qErrConfiguration).
qErr qStream_CreateUSB(uint32_t serialNumber, qStream** stream);
