// Which sanitizer the tests were built with, for the few tests that cannot run under one.
#pragma once

namespace test_support {

#if defined(__has_feature)
#if __has_feature(thread_sanitizer) && !defined(__SANITIZE_THREAD__)
#define __SANITIZE_THREAD__ 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
constexpr bool THREAD_SANITIZER_BUILD = true;
#else
constexpr bool THREAD_SANITIZER_BUILD = false;
#endif

// The emulated USB bus runs on umockdev and GLib, which synchronise through primitives
// ThreadSanitizer does not see; a program run through usb-testbed in that build reports races
// that are not there. The link code those tests reach is checked under ThreadSanitizer by the
// tests with the scripted USB bus.
constexpr const char* USB_TESTBED_UNCHECKED = "usb-testbed is not run under ThreadSanitizer";

}  // namespace test_support
