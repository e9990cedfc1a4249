// Packed firmware versions and the library's own version and features.
//
// A packed version is 32 bits in one of two layouts:
//   legacy (below 2.15): major in bits 31-28, minor in bits 27-24, patch in bits 23-0;
//   current (2.15 on):   0x2F in bits 31-24, then major, minor and patch bytes.
// 0x2F read as legacy is 2.15, which is how a value tells its own layout.
#pragma once

#include <cstddef>
#include <cstdint>

#define qVERSION_MAJOR 2
#define qVERSION_MINOR 11
#define qVERSION_PATCH 5
#define qVERSION_PHASE "."
#define qVERSION_CURRENT_MARKER 0x2Fu

uint32_t qVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool qVersion_IsLegacyFormat(uint32_t packed);
unsigned qVersion_ParseMajor(uint32_t packed);
unsigned qVersion_ParseMinor(uint32_t packed);
unsigned qVersion_ParsePatch(uint32_t packed);
// Writes "major.minor.patch"; returns the length the formatting asked for.
int qVersion_ParseString(uint32_t packed, char* buffer, size_t size);

// True when version A is at least version B (major, then minor, then patch, each an unsigned byte).
bool qVersion_IsAtLeastCompare(uint8_t major_a, uint8_t minor_a, uint8_t patch_a,
                               uint8_t major_b, uint8_t minor_b, uint8_t patch_b);
// True when the library itself is at least the given version.
bool qVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
int qVersion_GetMajor();
int qVersion_GetMinor();
int qVersion_GetPatch();
// "2.11.5"; static text, built once.
const char* qVersion_GetString();

bool qVersion_HasFeature(const char* name);
// A new text naming every feature as "NAME - description"; free it with qVersion_DestroyFeatureList.
char* qVersion_GetFeatureList();
void qVersion_DestroyFeatureList(char** list);
