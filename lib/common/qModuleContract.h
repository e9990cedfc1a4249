// What the host relies on from a module at the far end of a link. Modules are not part of this
// program; these are the addresses, command bytes and answers that the link code and the tests
// agree on, so that both point to one place.
#pragma once

#include <cstdint>

// Synchronisation and address query: a zero-length packet to this address. A module answers
// with zero-length packets from its own (even) address.
#define qADDR_SYNC 0xAD
// Packets the host sends in a row to synchronise; two answers in a row complete it.
#define qSYNC_REQUEST_COUNT 6
#define qSYNC_ANSWERS_NEEDED 2

// Force-route: address 0xAF, length 1, data byte 0 the route value. Nothing is awaited.
#define cmdFORCEROUTE 0xAF
#define qFORCEROUTE_LENGTH 1
#define qFORCEROUTE_ON 1    // sent when a link starts
#define qFORCEROUTE_OFF 0   // sent when a link stops

// Heartbeat from the module: command 0, length 2, data byte 1 = 0 (up) or 1 (down).
// The host answers to the same address with the value + 2 and never passes heartbeats on.
#define cmdHEARTBEAT 0
#define qHEARTBEAT_LENGTH 2
#define qHEARTBEAT_VALUE_BYTE 1
#define qHEARTBEAT_UP 0
#define qHEARTBEAT_DOWN 1
#define qHEARTBEAT_ANSWER_OFFSET 2

// Command bytes with their own reply layouts.
#define cmdSYSTEM 3       // the system entity (a UEI class)
#define cmdSLOT 4         // store slots
#define cmdECHO 23        // echo: the reply repeats the bytes sent
#define cmdQUERY 0x49     // module query
#define cmdSTREAM 0x5D    // stream subscriptions
#define cmdFACTORY 0x5E   // factory data
#define cmdUPGRADE 0x5F   // the loader's upgrade command

// The system entity's model code: option 8 of index 0. The request is the data bytes
// 3, 0x48, 0x20 (get, request flag); the reply has length 4 and the model code in data byte 3.
#define optSYSTEM_MODEL 8
#define qSYSTEM_ENTITY_INDEX 0

// Every reply is awaited with this limit unless its protocol gives another.
#define qMODULE_REPLY_TIMEOUT_MS 1000
