// The network interface UDP beacons run on. The beacon library keeps that choice in one
// process-wide setting that a beacon reads when it is configured, so whoever sets it and then
// starts a beacon does both under one lock; a discovery run may set it for a while and put the
// previous choice back afterwards.
//
// Interface text the beacon accepts: a dotted IPv4 address, "" (the first usable interface) or
// "*" (every interface). The lock is taken by a successful set or get...AndLock call and given
// back by the matching unlock in the same thread; a thread that does not hold it cannot give it
// back, and one that asks for it twice is refused rather than left waiting for itself.
#pragma once

#include <string>

#define zBEACON_ANY_INTERFACE "*"
#define zBEACON_DEFAULT_INTERFACE ""

// Readies the beacon library for use in this program: it keeps its hands off SIGINT and SIGTERM
// (an operator's Ctrl-C still ends the program) and writes no log lines of its own onto
// standard output. Every function here does it first; code that starts a beacon without them
// calls it before.
void zBeaconInterface_prepare();

// Refuses invalid text (false, nothing locked); else takes the lock, sets the interface, true.
bool zBeaconInterface_setAndLock(const char* interface);
void zBeaconInterface_unlock();
// Like setAndLock, first saving the interface in use so that restoreAndUnlock can put it back.
bool zBeaconInterface_backupSetAndLock(const char* interface);
void zBeaconInterface_restoreAndUnlock();

// The interface in use: a snapshot, or read under the lock (which the caller then releases
// with zBeaconInterface_unlock).
std::string zBeaconInterface_get();
std::string zBeaconInterface_getAndLock();
// The saved interface, likewise.
std::string zBeaconInterface_getBackup();
std::string zBeaconInterface_getBackupAndLock();
