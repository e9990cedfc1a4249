#include "BirdFile.h"

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Log.h"
#include "qFile.h"

namespace {

// Body framing: the declared block count in front, the file checksum at the end.
constexpr uint32_t BLOCK_COUNT_SIZE = 4;
constexpr uint32_t FILE_CHECKSUM_SIZE = 4;
// Type/flags byte and the 4-byte length in front of every block's data.
constexpr uint32_t BLOCK_HEADER_SIZE = 5;
// zlib is given this many times the compressed size to inflate into.
constexpr uint64_t INFLATE_FACTOR = 8;

// The info block: four space-padded text fields of 16 characters.
constexpr size_t INFO_FIELD_SIZE = 16;
constexpr size_t INFO_BLOCK_SIZE = 4 * INFO_FIELD_SIZE;
constexpr size_t INFO_BUILD_OFFSET = 0;
constexpr size_t INFO_VERSION_OFFSET = 16;
constexpr size_t INFO_SERIAL_OFFSET = 32;
constexpr size_t INFO_MODEL_OFFSET = 48;
// The build and version are read from the first 15 characters, the serial number from the first 8.
constexpr size_t INFO_TEXT_WINDOW = 15;
constexpr size_t INFO_SERIAL_DIGITS = 8;

// A serial-offsets block holds the serial-number address and then the descriptor address.
constexpr uint32_t SERIAL_OFFSETS_SIZE = 8;
constexpr uint32_t SERIAL_WORD_SIZE = 4;
// The descriptor holds the eight hex digits as 16-bit little-endian characters.
constexpr uint32_t SERIAL_TEXT_DIGITS = 8;
constexpr uint32_t DESCRIPTOR_CHARACTER_SIZE = 2;

// The vector table at the start of an image for address 0: eight little-endian words, the last
// being the two's complement of the sum of the others except word 5.
constexpr uint32_t VECTOR_TABLE_WORDS = 8;
constexpr uint32_t VECTOR_CHECKSUM_WORD = 7;
constexpr uint32_t VECTOR_RESERVED_WORD = 5;

constexpr size_t DECODE_KEY_SIZE = 16;
constexpr uint32_t DUMP_BYTES_PER_LINE = 50;

uint32_t get_little_endian(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void put_little_endian(uint8_t* bytes, uint32_t value) {
    for (int index = 0; index < 4; ++index) bytes[index] = static_cast<uint8_t>(value >> (8 * index));
}

// The fewest data bytes a block of this type needs for all of its fields.
uint32_t required_length(uint8_t type) {
    switch (type) {
        case BirdFile::BLOCK_LOADER:
        case BirdFile::BLOCK_FIRMWARE: return BirdBlock::ADDRESS_SIZE;
        case BirdFile::BLOCK_SERIAL_OFFSETS: return SERIAL_OFFSETS_SIZE;
        case BirdFile::BLOCK_INFO: return INFO_BLOCK_SIZE;
        default: return 0;
    }
}

void log_size_mismatch(int64_t remaining) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(remaining));
}

// The info block's 64 bytes, NUL-filled where the block is shorter, so that missing bytes read
// as absent text and no reader looks past the block.
struct InfoText {
    char bytes[INFO_BLOCK_SIZE + 1] = {};

    explicit InfoText(const BirdBlock& block) {
        memcpy(bytes, block.data, block.length < INFO_BLOCK_SIZE ? block.length : INFO_BLOCK_SIZE);
    }
    // The first `count` characters of a field, NUL-terminated.
    std::string field(size_t offset, size_t count) const { return std::string(bytes + offset, count).c_str(); }
};

}  // namespace

uint32_t GetInt(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

uint16_t GetShort(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

BirdFile::BirdFile(const std::string& file_path) : path(file_path) {
    if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this == &other) return *this;
    path = std::move(other.path);
    signature = other.signature;
    version = other.version;
    checksum = other.checksum;
    num_blocks = other.num_blocks;
    has_serial_offsets = other.has_serial_offsets;
    serial_number_offset = other.serial_number_offset;
    descriptor_offset = other.descriptor_offset;
    blocks_ = std::move(other.blocks_);
    body_ = std::move(other.body_);
    body_size_ = other.body_size_;
    other.path.clear();
    other.Reset();
    return *this;
}

void BirdFile::Reset() {
    signature = 0;
    version = 0;
    checksum = 0;
    num_blocks = 0;
    has_serial_offsets = false;
    serial_number_offset = 0;
    descriptor_offset = 0;
    blocks_.clear();
    body_.reset();
    body_size_ = 0;
}

bool BirdFile::VerifyFile(const std::string& file_path) {
    qFile* file = qFile_Open(file_path.c_str(), qFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", file_path.c_str());
        return false;
    }
    uint8_t header[BIRD_FILE_HEADER_SIZE];
    size_t count = 0;
    qFile_Read(file, header, sizeof header, &count);
    qFile_Close(&file);
    if (count != sizeof header) return false;
    bool signature_matches = memcmp(header, BIRD_FILE_SIGNATURE, sizeof BIRD_FILE_SIGNATURE) == 0;
    bool version_present = header[4] != 0 && header[5] != 0;
    return signature_matches && version_present;
}

bool BirdFile::Load() {
    Reset();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!qFile_Exists(path.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    qFile* file = qFile_Open(path.c_str(), qFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    size_t size = 0;
    qErr error = qFile_GetSize(file, &size);
    if (error != qErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", error, path.c_str());
        qFile_Close(&file);
        return false;
    }

    bool result = false;
    std::unique_ptr<uint8_t[]> contents(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    size_t count = 0;
    if (!contents) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - no memory for the %zu bytes of %s\n", size, path.c_str());
    } else if ((error = qFile_Read(file, contents.get(), size, &count)) != qErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", error, path.c_str());
    } else if (count < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(), count,
                 size);
    } else if (size <= BIRD_FILE_HEADER_SIZE) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s has no body (%zu bytes)\n", path.c_str(), size);
    } else if (size - BIRD_FILE_HEADER_SIZE > UINT32_MAX) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too large (%zu bytes)\n", path.c_str(), size);
    } else {
        signature = GetInt(contents.get());
        version = GetShort(contents.get() + 4);
        result = DecompressData(contents.get() + BIRD_FILE_HEADER_SIZE,
                                static_cast<uint32_t>(size - BIRD_FILE_HEADER_SIZE));
        if (result) {
            ScanBlocks(body_.get(), body_size_);
            FindSerialNumberOffsets();
        }
    }
    if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
        has_serial_offsets = true;
        FindSerialNumberOffsets();
    }
    qFile_Close(&file);
    return result;
}

bool BirdFile::DecompressData(const uint8_t* source, uint32_t length) {
    blocks_.clear();
    num_blocks = 0;
    body_.reset();
    body_size_ = 0;

    uint64_t capacity = INFLATE_FACTOR * length;
    if (capacity > UINT32_MAX) capacity = UINT32_MAX;
    std::unique_ptr<uint8_t[]> inflated(new (std::nothrow) uint8_t[capacity > 0 ? capacity : 1]);
    if (!inflated) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        return false;
    }
    uLongf produced = static_cast<uLongf>(capacity);
    int status = uncompress(inflated.get(), &produced, source, length);
    if (status != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", status);
        return false;
    }
    // Keep exactly the body, so that nothing past its end is ever addressable through a block.
    body_.reset(new (std::nothrow) uint8_t[produced > 0 ? produced : 1]);
    if (!body_) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        return false;
    }
    memcpy(body_.get(), inflated.get(), produced);
    body_size_ = static_cast<uint32_t>(produced);
    return true;
}

bool BirdFile::ScanBlocks(uint8_t* body, uint32_t size) {
    blocks_.clear();
    num_blocks = 0;
    bool result = true;

    uint32_t declared = size >= BLOCK_COUNT_SIZE ? GetInt(body) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(declared));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    // Signed: a body too short for its count or checksum drives it below zero, and the mismatch
    // message then tells how many bytes are missing.
    int64_t remaining = static_cast<int64_t>(size) - BLOCK_COUNT_SIZE;
    size_t position = BLOCK_COUNT_SIZE;
    while (remaining > FILE_CHECKSUM_SIZE) {
        BirdBlock block;
        block.type = body[position] & BIRD_FILE_TYPE_MASK;
        block.flags = static_cast<uint8_t>((body[position] & BIRD_FILE_FLAG_MASK) >> BIRD_FILE_FLAG_SHIFT);
        block.length = GetInt(body + position + 1);
        block.data = body + position + BLOCK_HEADER_SIZE;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 static_cast<int>(block.length));

        int64_t block_size = BLOCK_HEADER_SIZE + static_cast<int64_t>(block.length);
        if (block_size > remaining) {
            // Its data would run past the body, so this is no block (a truncated one, or bytes
            // after the checksum): it is not handed out, and the walk ends where it began.
            Log::log(DEBUG_BirdFile, "BIRDFILE: block of %u bytes runs past the end of the body\n", block.length);
            break;
        }
        uint32_t required = required_length(block.type);
        if (block.length < required) {
            // Too short for its own fields: kept, with the missing fields read as absent.
            log_size_mismatch(static_cast<int64_t>(block.length) - required);
            result = false;
        }
        if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && block.length >= BirdBlock::ADDRESS_SIZE) {
            block.address = GetInt(block.data);
        }
        if (block.type == BLOCK_INFO) {
            InfoText info(block);
            for (size_t offset = 0; offset < INFO_BLOCK_SIZE; offset += INFO_FIELD_SIZE) {
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", info.bytes + offset);
            }
        }
        blocks_.push_back(block);
        ++num_blocks;
        position += static_cast<size_t>(block_size);
        remaining -= block_size;
    }

    if (remaining >= FILE_CHECKSUM_SIZE) {
        checksum = GetInt(body + position);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
    }
    remaining -= FILE_CHECKSUM_SIZE;
    if (remaining != 0) {
        log_size_mismatch(remaining);
        result = false;
    }
    if (num_blocks != declared) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(num_blocks), static_cast<int>(declared));
        result = false;
    }
    return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks_) {
        if (block.type == type) found.push_back(block);
    }
    return found;
}

const BirdBlock* BirdFile::FirstBlock(uint8_t type) const {
    for (const BirdBlock& block : blocks_) {
        if (block.type == type) return &block;
    }
    return nullptr;
}

bool BirdFile::FindSerialNumberOffsets() {
    const BirdBlock* offsets = FirstBlock(BLOCK_SERIAL_OFFSETS);
    if (offsets == nullptr) return false;
    // A short block leaves the addresses it does not hold at 0, which means "not set".
    serial_number_offset = offsets->length >= 4 ? GetInt(offsets->data) : 0;
    descriptor_offset = offsets->length >= SERIAL_OFFSETS_SIZE ? GetInt(offsets->data + 4) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             static_cast<int>(serial_number_offset), static_cast<int>(descriptor_offset));
    return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    char digits[SERIAL_TEXT_DIGITS + 1];
    snprintf(digits, sizeof digits, "%08X", serial);
    // 64-bit addresses: a block or field near the top of the address space must not wrap
    // around into a range that seems to contain it.
    const uint64_t serial_address = serial_number_offset;
    const uint64_t descriptor_address = descriptor_offset;
    bool result = false;
    bool serial_written = false;
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_FIRMWARE) continue;
        uint8_t* payload = block.Payload();
        uint64_t start = block.address;
        uint64_t end = start + block.PayloadLength();
        if (serial_address != 0) {
            if (payload != nullptr && start <= serial_address && serial_address + SERIAL_WORD_SIZE <= end) {
                uint8_t* word = payload + (serial_address - start);
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         get_little_endian(word), serial);
                put_little_endian(word, serial);
                serial_written = true;
            }
            result = true;
        }
        if (descriptor_address != 0 && payload != nullptr && start <= descriptor_address &&
            descriptor_address + SERIAL_TEXT_DIGITS * DESCRIPTOR_CHARACTER_SIZE <= end) {
            uint8_t* text = payload + (descriptor_address - start);
            // Only the low byte of each character changes; the high bytes stay as the image has them.
            for (uint32_t index = 0; index < SERIAL_TEXT_DIGITS; ++index) {
                text[index * DESCRIPTOR_CHARACTER_SIZE] = static_cast<uint8_t>(digits[index]);
            }
            result = true;
        }
    }
    if (serial_address != 0 && !serial_written) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: serial number address %08X lies in no firmware block\n",
                 serial_number_offset);
    }
    return result;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_FIRMWARE || block.address != 0) continue;
        if (block.PayloadLength() < VECTOR_TABLE_WORDS * 4) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: firmware at address 0 is too short for a vector table (%u bytes)\n",
                     block.PayloadLength());
            continue;
        }
        uint8_t* table = block.Payload();
        uint32_t sum = 0;
        for (uint32_t word = 0; word < VECTOR_CHECKSUM_WORD; ++word) {
            if (word != VECTOR_RESERVED_WORD) sum += get_little_endian(table + 4 * word);
        }
        uint8_t* checksum_word = table + 4 * VECTOR_CHECKSUM_WORD;
        uint32_t value = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 get_little_endian(checksum_word), value);
        put_little_endian(checksum_word, value);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t (&key)[4]) {
    uint8_t stream[DECODE_KEY_SIZE];
    for (size_t word = 0; word < 4; ++word) {
        for (size_t byte = 0; byte < 4; ++byte) {
            stream[4 * word + byte] = static_cast<uint8_t>(key[word] >> (24 - 8 * byte));
        }
    }
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_FIRMWARE) continue;
        uint8_t* payload = block.Payload();
        uint8_t previous = 0;
        for (uint32_t index = 0; index < block.PayloadLength(); ++index) {
            payload[index] = static_cast<uint8_t>(payload[index] ^ stream[index % DECODE_KEY_SIZE] ^ previous);
            previous = payload[index];
        }
    }
    return true;
}

uint32_t BirdFile::GetBuild() const {
    const BirdBlock* info = FirstBlock(BLOCK_INFO);
    if (info == nullptr) return 0;
    std::string text = InfoText(*info).field(INFO_BUILD_OFFSET, INFO_TEXT_WINDOW);
    return static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
    const BirdBlock* info = FirstBlock(BLOCK_INFO);
    if (info == nullptr) return {};
    std::string text = InfoText(*info).field(INFO_VERSION_OFFSET, INFO_TEXT_WINDOW);
    return text.substr(0, text.find(' '));
}

uint32_t BirdFile::GetSerialNumber() const {
    const BirdBlock* info = FirstBlock(BLOCK_INFO);
    if (info == nullptr) return 0;
    std::string text = InfoText(*info).field(INFO_SERIAL_OFFSET, INFO_SERIAL_DIGITS);
    return static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

bool BirdFile::ValidateModel(const char* model) const {
    const BirdBlock* info = FirstBlock(BLOCK_INFO);
    if (info == nullptr || model == nullptr) return false;
    std::string field = InfoText(*info).field(INFO_MODEL_OFFSET, INFO_FIELD_SIZE);
    while (!field.empty() && field.back() == ' ') field.pop_back();
    if (field.compare(0, strlen(model), model) != 0) return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
    return true;
}

bool BirdFile::DumpBlocks(uint8_t type) const {
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    std::string text;
    for (const BirdBlock& block : blocks_) {
        if (block.type != type) continue;
        for (uint32_t index = 0; index < block.length; ++index) {
            if (index % DUMP_BYTES_PER_LINE == 0) {
                printf(" %s\r\n%06d: ", text.c_str(), static_cast<int>(index));
                text.clear();
            }
            uint8_t byte = block.data[index];
            text += isprint(byte) ? static_cast<char>(byte) : ' ';
            printf("%02X ", byte);
        }
        printf(" %s\n", text.c_str());
        text.clear();
    }
    printf("\n");
    fflush(stdout);
    return true;
}
