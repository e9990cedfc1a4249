// A BIRD firmware image loaded into memory: its typed blocks, what its info block says, and the
// patches made to it before it is written into a module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BirdBlock.h"

constexpr uint8_t BIRD_FILE_SIGNATURE[4] = {'b', 'i', 'r', 'd'};
constexpr uint8_t BIRD_FILE_VERSION[2] = {0x01, 0x01};
constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
constexpr unsigned BIRD_FILE_FLAG_SHIFT = 5;
// Signature and version; the zlib stream of the body follows.
constexpr size_t BIRD_FILE_HEADER_SIZE = 6;

// Big-endian readers for the file's own fields.
uint32_t GetInt(const uint8_t* bytes);
uint16_t GetShort(const uint8_t* bytes);

class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_START_ADDRESS = 5,
    };

    // An empty image: no path, no blocks, all numbers 0.
    BirdFile() = default;
    // Loads the file; throws std::runtime_error("Failed to load bird data") when it cannot.
    explicit BirdFile(const std::string& path);

    // Moving hands over the body, so blocks taken from the source stay valid in the target;
    // the source is left empty. Images are never copied.
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    ~BirdFile() = default;

    // Checks the signature and version bytes of a file without loading it.
    static bool VerifyFile(const std::string& path);

    // Reads, inflates and scans the file at `path`; true when the body inflated. A body that
    // inflates to more than eight times its compressed size is refused. A block walk that ends
    // in a mismatch is only logged and keeps the blocks parsed up to that point; a block whose
    // length runs past the body is not kept.
    bool Load();

    // Copies of every block of one type, in file order.
    std::vector<BirdBlock> FindBlocks(uint8_t type) const;
    bool FindSerialNumberOffsets();

    // Writes the serial number as a little-endian word at the serial-number address and as
    // descriptor text at the descriptor address, where a firmware block holds them.
    bool ReplaceSerialNumber(uint32_t serial);
    // Stores the checksum word of the vector table of every firmware block at address 0.
    bool ReplaceVectorChecksum();
    // Decodes, in place and exactly once, an image prepared for the module with this fingerprint.
    bool DecodeFirmwareBlocks(const uint32_t (&key)[4]);

    uint32_t GetBuild() const;
    std::string GetVersion() const;
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const;
    // True when the info block's model field begins with `model`.
    bool ValidateModel(const char* model) const;

    // Hex and text dump of every block of one type, on standard output.
    bool DumpBlocks(uint8_t type) const;

    uint32_t BodySize() const { return body_size_; }

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t checksum = 0;
    uint32_t num_blocks = 0;  // blocks actually parsed
    bool has_serial_offsets = false;
    uint32_t serial_number_offset = 0;
    uint32_t descriptor_offset = 0;

private:
    bool DecompressData(const uint8_t* source, uint32_t length);
    bool ScanBlocks(uint8_t* body, uint32_t size);
    const BirdBlock* FirstBlock(uint8_t type) const;
    void Reset();

    std::vector<BirdBlock> blocks_;
    std::unique_ptr<uint8_t[]> body_;
    uint32_t body_size_ = 0;
};
