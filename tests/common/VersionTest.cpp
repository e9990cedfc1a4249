#include <gtest/gtest.h>

#include "qVersion.h"

TEST(Version, PackChoosesTheLayoutAndRoundTrips) {
    const struct {
        uint8_t major, minor, patch;
        uint32_t packed;
        const char* text;
    } cases[] = {
        {2, 11, 5, 0x2B000005u, "2.11.5"},
        {2, 14, 255, 0x2E0000FFu, "2.14.255"},
        {2, 15, 0, 0x2F020F00u, "2.15.0"},
        {3, 0, 7, 0x2F030007u, "3.0.7"},
        {1, 9, 200, 0x190000C8u, "1.9.200"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t packed = qVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(packed, c.packed);
        EXPECT_EQ(qVersion_ParseMajor(packed), c.major);
        EXPECT_EQ(qVersion_ParseMinor(packed), c.minor);
        EXPECT_EQ(qVersion_ParsePatch(packed), c.patch);
        char text[32];
        EXPECT_EQ(qVersion_ParseString(packed, text, sizeof text), static_cast<int>(strlen(c.text)));
        EXPECT_STREQ(text, c.text);
    }
}

TEST(Version, LegacyPatchKeepsAllTwentyFourBits) {
    uint32_t packed = 0x2A012345u;  // 2.10 with a patch packed by firmware
    EXPECT_TRUE(qVersion_IsLegacyFormat(packed));
    EXPECT_EQ(qVersion_ParsePatch(packed), 0x012345u);
    EXPECT_FALSE(qVersion_IsLegacyFormat(0x2F020F00u));
}

TEST(Version, AtLeastComparesFieldByField) {
    EXPECT_TRUE(qVersion_IsAtLeastCompare(2, 11, 5, 2, 11, 5));
    EXPECT_FALSE(qVersion_IsAtLeastCompare(2, 11, 5, 2, 12, 0));
    EXPECT_TRUE(qVersion_IsAtLeastCompare(3, 0, 0, 2, 99, 99));
    EXPECT_FALSE(qVersion_IsAtLeastCompare(2, 10, 3, 2, 10, 4));
    EXPECT_TRUE(qVersion_IsAtLeast(2, 11, 5));
    EXPECT_FALSE(qVersion_IsAtLeast(2, 11, 6));
}

TEST(Version, LibraryVersionAndFeatures) {
    EXPECT_STREQ(qVersion_GetString(), "2.11.5");
    EXPECT_EQ(qVersion_GetMajor(), 2);
    EXPECT_EQ(qVersion_GetMinor(), 11);
    EXPECT_EQ(qVersion_GetPatch(), 5);
    EXPECT_TRUE(qVersion_HasFeature("VERSION"));
    EXPECT_FALSE(qVersion_HasFeature("version"));
    EXPECT_FALSE(qVersion_HasFeature(nullptr));
    char* list = qVersion_GetFeatureList();
    EXPECT_STREQ(list, "VERSION - Version Query API");
    qVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}
