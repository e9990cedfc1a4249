// Owns one reference to a GObject (a umockdev handler, ioctl data), released with the holder.
#pragma once

#include <glib-object.h>

#include <utility>

namespace usb_emulation {

template <typename T>
class GObjectRef {
public:
    GObjectRef() = default;
    // Takes over a reference the caller already holds.
    static GObjectRef adopt(T* object) { return GObjectRef(object); }
    // Adds a reference of its own.
    static GObjectRef retain(T* object) {
        if (object != nullptr) g_object_ref(object);
        return GObjectRef(object);
    }

    GObjectRef(GObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GObjectRef& operator=(GObjectRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    GObjectRef(const GObjectRef&) = delete;
    GObjectRef& operator=(const GObjectRef&) = delete;
    ~GObjectRef() { reset(); }

    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void reset() {
        if (object_ != nullptr) g_object_unref(std::exchange(object_, nullptr));
    }

private:
    explicit GObjectRef(T* object) : object_(object) {}
    T* object_ = nullptr;
};

}  // namespace usb_emulation
