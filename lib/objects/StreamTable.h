// The stream table of a Link: one entry per subscription (its key leaves the subindex open) and
// one per cached value (every field of its key concrete), and what the link's callback worker
// is handed for each sample.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "Link.h"
#include "qPacket.h"

namespace Tolveric::Lumenvane {

struct StreamEntry {
    uint64_t key = 0;
    uint8_t fresh = 0;                 // 1 when a sample arrived since the value was last read
    Link::StreamCallback callback;     // may be empty
    void* reference = nullptr;         // handed back to the callback
    uint32_t value = 0;                // latest sample value
};

using StreamTable = std::map<uint64_t, StreamEntry>;

struct PacketCopyDeleter {
    void operator()(qPacket* packet) const { qPacket_Destroy(&packet); }
};
using PacketCopy = std::unique_ptr<qPacket, PacketCopyDeleter>;

// One queued callback invocation; it owns its copy of the sample.
struct asyncPacket {
    Link::StreamCallback callback;
    void* reference = nullptr;
    PacketCopy packet;
};

// Data byte of a sample that holds its subindex (sample kinds 5 to 7).
inline constexpr uint8_t STREAM_SAMPLE_SUBINDEX_BYTE = 4;

// How many wildcard forms a sample's key is looked up under: every non-empty combination of
// index, option, command and subindex opened.
inline constexpr int STREAM_WILDCARD_MASKS = 15;

// The key bits opened by wildcard form i (0 to 14): bit 0 of i + 1 opens the index, bit 1 the
// option, bit 2 the command and bit 3 the subindex.
uint64_t streamWildcardMask(int form);

// Keys of the table whose five fields match; an argument of 0xFF matches any value there.
std::vector<uint64_t> streamTable_MatchingKeys(const StreamTable& table, uint8_t module, uint8_t command,
                                               uint8_t option, uint8_t index, uint8_t subindex);

// True when no field of the key is a wildcard: the entry caches one value.
bool streamKey_IsConcrete(uint64_t key);

}  // namespace Tolveric::Lumenvane
