// The environment under which a program's libusb sees the emulated bus: umockdev's preload
// library in LD_PRELOAD (and, for programs built with AddressSanitizer, permission for the preload
// to come before the sanitizer's runtime).
#pragma once

namespace usb_emulation {

constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";

// Whether umockdev's preload library is loaded into this process.
bool preload_active();

// Adds the preload library and the sanitizer option to this process's environment, for the
// programs it starts from now on.
void add_preload_to_environment();

// Starts this program again under the preload library unless it already runs under it; returns
// only when the preload is active (or the re-execution failed, which it reports on stderr).
void ensure_running_under_preload(char** argv);

}  // namespace usb_emulation
