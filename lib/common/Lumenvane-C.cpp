#include "Lumenvane-C.h"

#include <libusb.h>

#include <mutex>

namespace {

struct SharedContext {
    std::mutex mutex;
    libusb_context* context = nullptr;
};

SharedContext& shared() {
    static SharedContext* const instance = new SharedContext;
    return *instance;
}

}  // namespace

libusb_context* Lumenvane_libusb_context() {
    SharedContext& usb = shared();
    std::lock_guard<std::mutex> lock(usb.mutex);
    if (usb.context == nullptr && libusb_init(&usb.context) != LIBUSB_SUCCESS) usb.context = nullptr;
    return usb.context;
}

qErr Lumenvane_libusb_init() { return Lumenvane_libusb_context() != nullptr ? qErrNone : qErrInitialization; }

void Lumenvane_libusb_exit() {
    SharedContext& usb = shared();
    std::lock_guard<std::mutex> lock(usb.mutex);
    if (usb.context != nullptr) libusb_exit(usb.context);
    usb.context = nullptr;
}
