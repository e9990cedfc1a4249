#include "zBeaconInterface.h"

#include <czmq.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "qDebugging.h"
#include "qMutex.h"
#include "unix_discovery.h"

namespace {

constexpr size_t _BACKUP_CAPACITY = 100;

struct BeaconInterfaceState {
    qMutex* _interfaceLock = qMutex_Create("zBeaconInterface");
    std::atomic<std::thread::id> holder{};
    // Guards each single read or write of the setting and of the saved text, so that a
    // snapshot taken without the lock is never a torn or freed text.
    std::mutex texts;
    std::string _backupInterface;

    BeaconInterfaceState() {
        _backupInterface.reserve(_BACKUP_CAPACITY);
        // Both before anything else starts the library: its start-up would otherwise install
        // its own interrupt handler, after which Ctrl-C no longer stops this program.
        zsys_handler_set(nullptr);
        zsys_set_logstream(nullptr);
    }
};

// Made on first use and kept for the life of the process: beacons may still be set up while
// static objects are being destroyed.
BeaconInterfaceState& state() {
    static BeaconInterfaceState* const instance = new BeaconInterfaceState;
    return *instance;
}

bool is_valid_interface(const char* interface) {
    if (interface == nullptr) return false;
    return strcmp(interface, zBEACON_DEFAULT_INTERFACE) == 0 || strcmp(interface, zBEACON_ANY_INTERFACE) == 0 ||
           unix_discovery_ParseIPv4(interface, nullptr);
}

bool lock() {
    BeaconInterfaceState& beacon = state();
    qErr result = qMutex_Lock(beacon._interfaceLock);
    if (result != qErrNone) {
        qDebugging_Trace(qDEBUG_BEACON, "beacon interface lock refused: %d", result);
        return false;
    }
    beacon.holder = std::this_thread::get_id();
    return true;
}

bool held_here() { return state().holder.load() == std::this_thread::get_id(); }

std::string current_interface() {
    std::lock_guard guard(state().texts);
    const char* interface = zsys_interface();
    return interface != nullptr ? interface : "";
}

void set_interface(const char* interface) {
    std::lock_guard guard(state().texts);
    zsys_set_interface(interface);
}

std::string backup() {
    std::lock_guard guard(state().texts);
    return state()._backupInterface;
}

void save_backup(const std::string& interface) {
    std::lock_guard guard(state().texts);
    state()._backupInterface = interface;
}

}  // namespace

void zBeaconInterface_prepare() { state(); }

bool zBeaconInterface_setAndLock(const char* interface) {
    if (!is_valid_interface(interface) || !lock()) return false;
    set_interface(interface);
    return true;
}

void zBeaconInterface_unlock() {
    BeaconInterfaceState& beacon = state();
    if (!held_here()) return;
    beacon.holder = std::thread::id{};
    qMutex_Unlock(beacon._interfaceLock);
}

bool zBeaconInterface_backupSetAndLock(const char* interface) {
    if (!is_valid_interface(interface) || !lock()) return false;
    save_backup(current_interface());
    set_interface(interface);
    return true;
}

void zBeaconInterface_restoreAndUnlock() {
    if (!held_here()) return;  // only the holder may change the setting
    set_interface(backup().c_str());
    zBeaconInterface_unlock();
}

std::string zBeaconInterface_get() { return current_interface(); }

std::string zBeaconInterface_getAndLock() {
    lock();
    return current_interface();
}

std::string zBeaconInterface_getBackup() { return backup(); }

std::string zBeaconInterface_getBackupAndLock() {
    lock();
    return backup();
}
