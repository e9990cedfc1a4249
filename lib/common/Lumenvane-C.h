// The one libusb context of the process, shared by every USB stream and by USB discovery.
#pragma once

#include "qError.h"

struct libusb_context;

// The shared context, made with libusb_init on first use; none when libusb cannot start.
libusb_context* Lumenvane_libusb_context();
// Makes sure the context exists: qErrNone, or qErrInitialization when libusb cannot start.
qErr Lumenvane_libusb_init();
// Ends the context, whoever may still use it, and forgets it; the next use makes a new one,
// which sees the bus anew (a module that restarted under a new address, for one).
void Lumenvane_libusb_exit();
