#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "Log.h"
#include "LogCapture.h"
#include "ProcessRunner.h"
#include "TestPaths.h"

using test_support::LogCapture;
using test_support::TemporaryDirectory;
using test_support::write_bird;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text) {
    Bytes bytes;
    for (size_t index = 0; index + 1 < text.size(); index += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(index, 2), nullptr, 16)));
    }
    return bytes;
}

Bytes payload(const BirdBlock& block) { return Bytes(block.Payload(), block.Payload() + block.PayloadLength()); }
Bytes data(const BirdBlock& block) { return Bytes(block.data, block.data + block.length); }

const std::string VECTOR_WORDS_1_2_3_4_5_100_6_0 =
    "01000000" "02000000" "03000000" "04000000" "05000000" "64000000" "06000000" "00000000";

class BirdImage : public ::testing::Test {
protected:
    // Writes an image from the writer's block options and loads it.
    BirdFile custom(const std::vector<std::string>& arguments) {
        write_bird("custom", path, arguments);
        return BirdFile(path);
    }
    void write_raw(const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

    TemporaryDirectory directory;
    std::string path = directory.file("image.bird");
};

}  // namespace

TEST_F(BirdImage, VerifyFileLooksAtTheHeaderOnly) {
    const struct {
        std::string content;
        bool accepted;
    } cases[] = {
        {std::string("bird\x01\x01", 6), true},
        {std::string("bird\x02\x07 not zlib at all", 22), true},
        {std::string("bird\x01\x00", 6), false},
        {std::string("bird\x00\x01", 6), false},
        {std::string("BIRD\x01\x01", 6), false},
        {std::string("bird\x01", 5), false},
        {"", false},
    };
    for (const auto& c : cases) {
        write_raw(c.content);
        EXPECT_EQ(BirdFile::VerifyFile(path), c.accepted) << c.content.size() << " bytes: " << c.content;
    }
    LogCapture log(DEBUG_BirdFile);
    EXPECT_FALSE(BirdFile::VerifyFile(directory.file("missing.bird")));
    EXPECT_TRUE(log.contains("BIRDFILE: Error - cannot open bird file: '" + directory.file("missing.bird") + "'\n"));
}

TEST_F(BirdImage, LoadDoesNotCheckTheHeader) {
    write_bird("custom", path, {"--header", "424952440000", "--firmware", "0x1000", "0102"});
    EXPECT_FALSE(BirdFile::VerifyFile(path));
    BirdFile image(path);
    EXPECT_EQ(image.signature, 0x42495244u);
    EXPECT_EQ(image.version, 0u);
    EXPECT_EQ(image.num_blocks, 1u);
}

TEST_F(BirdImage, FilesThatCannotBeLoadedThrow) {
    LogCapture log(DEBUG_BirdFile);
    const struct {
        const char* label;
        std::string content;
        std::string log_line;
    } cases[] = {
        {"header only", std::string("bird\x01\x01", 6), ""},
        {"body not zlib", std::string("bird\x01\x01garbage", 13), "BIRDFILE: Error (-3) decompressing bird file.\n"},
    };
    for (const auto& c : cases) {
        write_raw(c.content);
        EXPECT_THROW(
            {
                try {
                    BirdFile image(path);
                } catch (const std::runtime_error& error) {
                    EXPECT_STREQ(error.what(), "Failed to load bird data");
                    throw;
                }
            },
            std::runtime_error)
            << c.label;
        EXPECT_TRUE(log.contains(c.log_line)) << c.label;
    }
    EXPECT_THROW(BirdFile(directory.file("missing.bird")), std::runtime_error);
    EXPECT_TRUE(log.contains("BIRDFILE: BIRD file not found [" + directory.file("missing.bird") + "]\n"));
    EXPECT_THROW(BirdFile(directory.path()), std::runtime_error);
}

TEST_F(BirdImage, BodyMayInflateToEightTimesItsCompressedSize) {
    LogCapture log(DEBUG_BirdFile);
    // Pseudo-random bytes hardly compress; a run of zeros compresses far beyond eight to one.
    BirdFile loaded = custom({"--firmware-random", "0", "4096", "7"});
    EXPECT_EQ(loaded.num_blocks, 1u);
    EXPECT_EQ(loaded.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].PayloadLength(), 4096u);

    write_bird("custom", path, {"--firmware-fill", "0", "900", "0"});
    EXPECT_THROW(BirdFile image(path), std::runtime_error);
    EXPECT_TRUE(log.contains("BIRDFILE: Error (-5) decompressing bird file.\n"));
}

TEST_F(BirdImage, BlockWalkMismatchesAreLoggedAndKeepTheParsedBlocks) {
    const struct {
        std::vector<std::string> arguments;
        uint32_t parsed;
        std::string mismatch;  // empty: the walk must end cleanly
    } cases[] = {
        {{"--firmware", "0", "0102", "--info", "1", "1.0", "0", "M"}, 2, ""},
        {{"--firmware", "0", "0102", "--info", "1", "1.0", "0", "M", "--declared-count", "3"},
         2,
         "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"},
        {{"--firmware", "0", "0102", "--info", "1", "1.0", "0", "M", "--trailing", "AABB"},
         2,
         "BIRDFILE: Block parsing mismatch in data size. (2 bytes remaining)\n"},
    };
    for (const auto& c : cases) {
        LogCapture log(DEBUG_BirdFile);
        BirdFile image = custom(c.arguments);
        EXPECT_EQ(image.num_blocks, c.parsed);
        EXPECT_EQ(image.GetBuild(), 1u);
        if (c.mismatch.empty()) {
            EXPECT_FALSE(log.contains("mismatch")) << log.text();
        } else {
            EXPECT_TRUE(log.contains(c.mismatch)) << log.text();
        }
    }
}

TEST_F(BirdImage, MalformedBlocksNeverReachPastTheBody) {
    const struct {
        const char* label;
        std::vector<std::string> arguments;
        std::string mismatch;
        uint32_t parsed;
    } cases[] = {
        {"length runs past the body",
         {"--firmware", "0x1000", "0102", "--block-declaring", "0x01", "1000", "00002000AABBCCDD"},
         "mismatch in data size. (13 bytes remaining)",
         1},
        {"length near 4 GiB",
         {"--firmware", "0x1000", "0102", "--block-declaring", "0x01", "0xFFFFFFFF", "00002000"},
         "mismatch in data size. (9 bytes remaining)",
         1},
        {"body too short for the block count", {"--body-hex", "0102"}, "mismatch in data size. (-6 bytes remaining)", 0},
        {"no room for the checksum", {"--body-hex", "00000001" "0100000004" "00001000"},
         "mismatch in data size. (-4 bytes remaining)", 1},
        {"firmware block without its whole address", {"--raw", "0x01", "0102"},
         "mismatch in data size. (-2 bytes remaining)", 1},
    };
    for (const auto& c : cases) {
        LogCapture log(DEBUG_BirdFile);
        BirdFile image = custom(c.arguments);
        EXPECT_EQ(image.num_blocks, c.parsed) << c.label;
        EXPECT_TRUE(log.contains(c.mismatch)) << c.label << "\n" << log.text();
        // Every byte that a block hands out lies inside the body (the sanitizer build checks the
        // reads; here the lengths are checked against the body size).
        uint64_t handed_out = 0;
        for (uint8_t type : {0, 1, 2, 4, 5}) {
            for (const BirdBlock& block : image.FindBlocks(type)) handed_out += block.length + 5;
        }
        EXPECT_LE(handed_out, image.BodySize()) << c.label;
        EXPECT_TRUE(image.ReplaceVectorChecksum());
        EXPECT_FALSE(image.ReplaceSerialNumber(0x1A2B3C4D));
    }
}

TEST_F(BirdImage, ShortBlocksReadTheirMissingFieldsAsAbsent) {
    {
        LogCapture log(DEBUG_BirdFile);
        BirdFile image = custom({"--raw", "0x01", "0102"});
        BirdBlock block = image.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
        EXPECT_EQ(block.address, 0u);
        EXPECT_EQ(block.PayloadLength(), 0u);
        EXPECT_EQ(block.Payload(), nullptr);
        uint32_t key[4] = {1, 2, 3, 4};
        EXPECT_TRUE(image.DecodeFirmwareBlocks(key));
        EXPECT_EQ(data(block), hex("0102"));
    }
    {
        // Serial-number address present, descriptor address missing.
        LogCapture log(DEBUG_BirdFile);
        BirdFile image = custom({"--firmware-fill", "0", "32", "0xEE", "--raw", "0x02", "000000100000"});
        EXPECT_TRUE(log.contains("mismatch in data size. (-2 bytes remaining)"));
        EXPECT_TRUE(image.has_serial_offsets);
        EXPECT_EQ(image.serial_number_offset, 0x10u);
        EXPECT_EQ(image.descriptor_offset, 0u);
        EXPECT_TRUE(image.ReplaceSerialNumber(0x01020304));
        EXPECT_EQ(payload(image.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]),
                  hex(std::string(32, 'E') + "04030201" + std::string(24, 'E')));
    }
    {
        // An info block of 20 bytes: the build field and four characters of the version.
        LogCapture log(DEBUG_BirdFile);
        BirdFile image = custom({"--raw", "0x04", "20203737" "202020202020202020202020" "2E312E32"});
        EXPECT_TRUE(log.contains("mismatch in data size. (-44 bytes remaining)"));
        EXPECT_EQ(image.GetBuild(), 77u);
        EXPECT_EQ(image.GetVersion(), ".1.2");
        EXPECT_EQ(image.GetSerialNumber(), 0u);
        EXPECT_FALSE(image.ValidateModel("A"));
    }
}

TEST_F(BirdImage, BlockTypesAndFlagsComeFromOneByte) {
    BirdFile image = custom({"--raw", "0x21", "00001000AA", "--raw", "0xE7", "", "--raw", "0xFF", "01",
                             "--loader", "0x10000000", "C0DE"});
    EXPECT_EQ(image.num_blocks, 4u);
    BirdBlock firmware = image.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
    EXPECT_EQ(firmware.flags, 1u);
    EXPECT_EQ(firmware.address, 0x1000u);
    EXPECT_EQ(payload(firmware), hex("AA"));
    ASSERT_EQ(image.FindBlocks(7).size(), 1u);
    EXPECT_EQ(image.FindBlocks(7)[0].flags, 7u);
    EXPECT_EQ(image.FindBlocks(7)[0].length, 0u);
    ASSERT_EQ(image.FindBlocks(31).size(), 1u);
    EXPECT_EQ(image.FindBlocks(31)[0].address, 0u);  // only loader and firmware blocks have one
    EXPECT_EQ(image.FindBlocks(BirdFile::BLOCK_LOADER).at(0).address, 0x10000000u);
    EXPECT_TRUE(image.FindBlocks(BirdFile::BLOCK_INFO).empty());
}

TEST_F(BirdImage, InfoBlockFields) {
    BirdFile image = custom({"--info", " 1234", "1.2.3 beta", "40F5849A", "ABC"});
    EXPECT_EQ(image.GetBuild(), 1234u);
    EXPECT_EQ(image.GetVersion(), "1.2.3");
    EXPECT_EQ(image.GetSerialNumber(), 0x40F5849Au);
    EXPECT_TRUE(image.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(image.ValidateSerialNumber(0x40F5849B));

    // The model field is ABC and 13 spaces: a prefix match after the trailing spaces are gone.
    const struct {
        const char* model;
        bool matches;
    } models[] = {{"ABC", true}, {"AB", true}, {"ABCD", false}, {"ABC ", false}, {"XBC", false}, {nullptr, false}};
    for (const auto& m : models) EXPECT_EQ(image.ValidateModel(m.model), m.matches) << (m.model ? m.model : "null");

    BirdFile full = custom({"--info", "7", "2.0", "0000001A", "MODEL-SIXTEEN-16"});
    EXPECT_TRUE(full.ValidateModel("MODEL-SIXTEEN-16"));
    EXPECT_FALSE(full.ValidateModel("MODEL-SIXTEEN-16X"));
}

TEST_F(BirdImage, WithoutAnInfoBlockEverythingIsAbsent) {
    BirdFile image = custom({"--firmware", "0", "00"});
    EXPECT_EQ(image.GetBuild(), 0u);
    EXPECT_EQ(image.GetSerialNumber(), 0u);
    EXPECT_EQ(image.GetVersion(), "");
    EXPECT_FALSE(image.ValidateModel("ABC"));
    EXPECT_TRUE(image.ValidateSerialNumber(0));

    BirdFile empty;
    EXPECT_EQ(empty.num_blocks, 0u);
    EXPECT_TRUE(empty.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty());
    EXPECT_FALSE(empty.ReplaceSerialNumber(1));
}

TEST_F(BirdImage, SerialNumberGoesIntoTheWordAndTheDescriptor) {
    BirdFile image = custom({"--firmware-fill", "0x1000", "40", "0xEE", "--serial-offsets", "0x1008", "0x1010"});
    ASSERT_TRUE(image.has_serial_offsets);
    EXPECT_TRUE(image.ReplaceSerialNumber(0x1A2B3C4D));
    BirdBlock firmware = image.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
    EXPECT_EQ(data(firmware),
              hex("00001000"                              // the address stays
                  "EEEEEEEEEEEEEEEE"                      // image 0x1000..0x1007
                  "4D3C2B1A"                              // 0x1008: the little-endian word
                  "EEEEEEEE"                              // 0x100C..0x100F
                  "31EE41EE32EE42EE33EE43EE34EE44EE"      // 0x1010: 1A2B3C4D in the low bytes
                  "EEEEEEEEEEEEEEEE"));                   // the rest
}

TEST_F(BirdImage, SerialNumberOutsideTheImage) {
    const std::string untouched = std::string(64, 'E');
    const struct {
        const char* label;
        std::vector<std::string> arguments;
        bool result;
    } cases[] = {
        {"in no block", {"--firmware-fill", "0x1000", "32", "0xEE", "--serial-offsets", "0x5000", "0"}, true},
        {"word across the block end", {"--firmware-fill", "0x1000", "32", "0xEE", "--serial-offsets", "0x101E", "0"},
         true},
        {"descriptor across the block end",
         {"--firmware-fill", "0x1000", "32", "0xEE", "--serial-offsets", "0", "0x1012"},
         false},
        {"address plus length wraps past 4 GiB",
         {"--firmware-fill", "0x1000", "32", "0xEE", "--serial-offsets", "0xFFFFFFFE", "0xFFFFFFF8"},
         true},
        {"no addresses", {"--firmware-fill", "0x1000", "32", "0xEE", "--serial-offsets", "0", "0"}, false},
        {"no firmware block", {"--loader", "0x1000", "EEEE", "--serial-offsets", "0x1000", "0"}, false},
    };
    for (const auto& c : cases) {
        BirdFile image = custom(c.arguments);
        EXPECT_EQ(image.ReplaceSerialNumber(0x1A2B3C4D), c.result) << c.label;
        for (const BirdBlock& block : image.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
            EXPECT_EQ(payload(block), hex(untouched)) << c.label;
        }
    }
}

TEST_F(BirdImage, VectorChecksumOfImagesAtAddressZero) {
    BirdFile image = custom({"--firmware", "0", VECTOR_WORDS_1_2_3_4_5_100_6_0 + "AA",   //
                             "--firmware", "0x1000", VECTOR_WORDS_1_2_3_4_5_100_6_0,      //
                             "--firmware", "0", "0100000002000000"});                      // too short for a table
    EXPECT_TRUE(image.ReplaceVectorChecksum());
    auto blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    // -(1 + 2 + 3 + 4 + 5 + 6) = -21; word 5 (100) stays out of the sum.
    EXPECT_EQ(payload(blocks[0]), hex(VECTOR_WORDS_1_2_3_4_5_100_6_0.substr(0, 56) + "EBFFFFFF" + "AA"));
    EXPECT_EQ(payload(blocks[1]), hex(VECTOR_WORDS_1_2_3_4_5_100_6_0));
    EXPECT_EQ(payload(blocks[2]), hex("0100000002000000"));
}

TEST_F(BirdImage, DecodingChainsEachByteToThePreviousOne) {
    BirdFile image = custom({"--firmware", "0x2000", "010203",                         //
                             "--firmware", "0x3000", std::string(34, '0'),             //
                             "--loader", "0x4000", "010203"});
    uint32_t zero_key[4] = {0, 0, 0, 0};
    ASSERT_TRUE(image.DecodeFirmwareBlocks(zero_key));
    auto firmware = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    EXPECT_EQ(data(firmware[0]), hex("00002000" "010300"));
    EXPECT_EQ(data(image.FindBlocks(BirdFile::BLOCK_LOADER)[0]), hex("00004000" "010203"));

    // Key bytes run from the most significant byte of the first word; the stream wraps after 16.
    BirdFile keyed = custom({"--firmware", "0x2000", "010203", "--firmware", "0x3000", std::string(34, '0')});
    uint32_t key[4] = {0x11223344, 0, 0, 0};
    keyed.DecodeFirmwareBlocks(key);
    EXPECT_EQ(payload(keyed.FindBlocks(BirdFile::BLOCK_FIRMWARE)[1]),
              hex("113300" + std::string(26, '4') + "55"));
    // The chain and the key restart with every block.
    EXPECT_EQ(payload(keyed.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), hex("103000"));
}

TEST_F(BirdImage, MovingKeepsBlocksValidAndEmptiesTheSource) {
    write_bird("generic", path);
    BirdFile source(path);
    std::vector<BirdBlock> firmware = source.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    BirdFile target;
    target = std::move(source);
    EXPECT_EQ(target.path, path);
    EXPECT_TRUE(target.ReplaceSerialNumber(0x40F5849A));
    // The copy taken before the move sees the patch made through the new owner.
    EXPECT_EQ(Bytes(firmware[0].Payload() + 0x200, firmware[0].Payload() + 0x204), hex("9A84F540"));
    EXPECT_EQ(source.num_blocks, 0u);
    EXPECT_TRUE(source.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty());
    EXPECT_EQ(source.path, "");

    BirdFile constructed(std::move(target));
    EXPECT_EQ(constructed.GetBuild(), 100u);
    EXPECT_EQ(constructed.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].data, firmware[0].data);
}

TEST_F(BirdImage, WriterPresetsReadBack) {
    write_bird("generic", path, {"--build", "99528558", "--version", "2.11.5", "--model", "LV-HUB4"});
    BirdFile generic(path);
    EXPECT_EQ(generic.num_blocks, 6u);
    EXPECT_TRUE(generic.has_serial_offsets);
    EXPECT_EQ(generic.serial_number_offset, 0x200u);
    EXPECT_EQ(generic.descriptor_offset, 0x300u);
    EXPECT_EQ(generic.GetBuild(), 99528558u);
    EXPECT_EQ(generic.GetVersion(), "2.11.5");
    EXPECT_TRUE(generic.ValidateModel("LV-HUB4"));
    EXPECT_EQ(generic.FindBlocks(BirdFile::BLOCK_LOADER).at(0).address, 0x10000000u);
    EXPECT_EQ(data(generic.FindBlocks(BirdFile::BLOCK_START_ADDRESS).at(0)), hex("20000400"));
    EXPECT_TRUE(generic.ReplaceSerialNumber(0x40F5849A));
    Bytes image = payload(generic.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0));
    EXPECT_EQ(Bytes(image.begin() + 0x200, image.begin() + 0x204), hex("9A84F540"));
    EXPECT_EQ(Bytes(image.begin() + 0x300, image.begin() + 0x310), hex("34003000460035003800340039004100"));

    // The writer's vector table already carries a valid checksum, so recomputing it changes nothing.
    Bytes before = image;
    generic.ReplaceVectorChecksum();
    EXPECT_EQ(payload(generic.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0)), before);

    write_bird("for-serial", path, {"--serial", "40F5849A"});
    BirdFile made_for_one(path);
    EXPECT_FALSE(made_for_one.has_serial_offsets);
    EXPECT_TRUE(made_for_one.ValidateSerialNumber(0x40F5849A));
    Bytes own = payload(made_for_one.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0));
    EXPECT_EQ(Bytes(own.begin() + 0x200, own.begin() + 0x204), hex("9A84F540"));
}

TEST_F(BirdImage, DumpBlocksPrintsHexAndText) {
    std::string letters;
    for (int index = 0; index < 48; ++index) letters += "41";
    write_bird("custom", path, {"--loader", "0x10000000", "48692100", "--firmware", "0x41414141", letters + "0A"});
    test_support::ProcessResult result = test_support::run_function([&] {
        BirdFile image(path);
        image.DumpBlocks(BirdFile::BLOCK_LOADER);
        image.DumpBlocks(BirdFile::BLOCK_FIRMWARE);
    });
    std::string firmware_hex;
    for (int index = 0; index < 50; ++index) firmware_hex += "41 ";
    std::string expected = "BIRDFILE: BLOCK DUMP [" + path + "]\n" + " \r\n000000: 10 00 00 00 48 69 21 00 " +
                           "     Hi! \n" + "\n" +  //
                           "BIRDFILE: BLOCK DUMP [" + path + "]\n" + " \r\n000000: " + firmware_hex + " " +
                           std::string(50, 'A') + "\r\n000050: 41 41 0A  AA \n" + "\n";
    EXPECT_EQ(result.out, expected);
}
