#include "qVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

struct Feature {
    const char* name;
    const char* description;
};

const Feature FEATS[] = {
    {"VERSION", "Version Query API"},
};
constexpr size_t NUM_FEATS = sizeof(FEATS) / sizeof(FEATS[0]);

unsigned top_byte(uint32_t packed) { return packed >> 24; }

}  // namespace

uint32_t qVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14)) {
        return (qVERSION_CURRENT_MARKER << 24) | (uint32_t{major} << 16) | (uint32_t{minor} << 8) | patch;
    }
    return (uint32_t{major} << 28) | (uint32_t{minor & 0x0Fu} << 24) | patch;
}

bool qVersion_IsLegacyFormat(uint32_t packed) {
    unsigned major = top_byte(packed) >> 4;
    unsigned minor = top_byte(packed) & 0x0F;
    return major < 2 || (major == 2 && minor < 15);
}

unsigned qVersion_ParseMajor(uint32_t packed) {
    return qVersion_IsLegacyFormat(packed) ? top_byte(packed) >> 4 : (packed >> 16) & 0xFF;
}

unsigned qVersion_ParseMinor(uint32_t packed) {
    return qVersion_IsLegacyFormat(packed) ? top_byte(packed) & 0x0F : (packed >> 8) & 0xFF;
}

unsigned qVersion_ParsePatch(uint32_t packed) {
    return qVersion_IsLegacyFormat(packed) ? packed & 0x00FFFFFF : packed & 0xFF;
}

int qVersion_ParseString(uint32_t packed, char* buffer, size_t size) {
    return snprintf(buffer, size, "%u.%u.%u", qVersion_ParseMajor(packed), qVersion_ParseMinor(packed),
                    qVersion_ParsePatch(packed));
}

bool qVersion_IsAtLeastCompare(uint8_t major_a, uint8_t minor_a, uint8_t patch_a,
                               uint8_t major_b, uint8_t minor_b, uint8_t patch_b) {
    if (major_a != major_b) return major_a > major_b;
    if (minor_a != minor_b) return minor_a > minor_b;
    return patch_a >= patch_b;
}

bool qVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return qVersion_IsAtLeastCompare(qVERSION_MAJOR, qVERSION_MINOR, qVERSION_PATCH, major, minor, patch);
}

int qVersion_GetMajor() { return qVERSION_MAJOR; }
int qVersion_GetMinor() { return qVERSION_MINOR; }
int qVersion_GetPatch() { return qVERSION_PATCH; }

const char* qVersion_GetString() {
    static char text[15];
    static std::once_flag built;
    std::call_once(built, [] {
        snprintf(text, sizeof text, "%d.%d%s%d", qVERSION_MAJOR, qVERSION_MINOR, qVERSION_PHASE, qVERSION_PATCH);
    });
    return text;
}

bool qVersion_HasFeature(const char* name) {
    if (name == nullptr) return false;
    for (const Feature& feature : FEATS) {
        if (strcmp(feature.name, name) == 0) return true;
    }
    return false;
}

char* qVersion_GetFeatureList() {
    std::string list;
    for (size_t i = 0; i < NUM_FEATS; ++i) {
        if (i > 0) list += "\n";
        list += FEATS[i].name;
        list += " - ";
        list += FEATS[i].description;
    }
    return strdup(list.c_str());
}

void qVersion_DestroyFeatureList(char** list) {
    if (list == nullptr) return;
    free(*list);
    *list = nullptr;
}
