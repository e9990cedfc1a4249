// The first step of every UEI reply filter, single values and byte arrays alike: is this packet
// the reply a record awaits, and is it an error reply?
#pragma once

#include "qPacket.h"
#include "qUEI.h"

namespace Tolveric::Lumenvane {

enum class UEIReplyMatch {
    Other,  // another packet: address, command, option or index differ, or it is too short
    Error,  // an error reply: the record's specifier and code (byteVal) are filled in
    Reply,  // the reply awaited; its value is the caller's to read
};

UEIReplyMatch uei_match_reply(const qPacket* packet, uei* record);

}  // namespace Tolveric::Lumenvane
