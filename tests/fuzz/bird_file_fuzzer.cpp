// libFuzzer target for the BIRD image reader: the header check, inflation, the block walk, and
// every operation that reads or patches blocks. The sanitizers catch any access past the body.
//
// An input that begins with "bird" is taken as a whole file. Any other input is taken as an
// uncompressed body and is compressed and given a header first, so that the fuzzer reaches the
// block walk without having to produce valid zlib streams.
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Log.h"

namespace {

std::string image_path;

std::vector<uint8_t> as_file(const uint8_t* data, size_t size) {
    if (size >= sizeof BIRD_FILE_SIGNATURE && memcmp(data, BIRD_FILE_SIGNATURE, sizeof BIRD_FILE_SIGNATURE) == 0) {
        return std::vector<uint8_t>(data, data + size);
    }
    uLongf compressed_size = compressBound(static_cast<uLong>(size));
    std::vector<uint8_t> file(BIRD_FILE_HEADER_SIZE + compressed_size);
    memcpy(file.data(), BIRD_FILE_SIGNATURE, sizeof BIRD_FILE_SIGNATURE);
    memcpy(file.data() + sizeof BIRD_FILE_SIGNATURE, BIRD_FILE_VERSION, sizeof BIRD_FILE_VERSION);
    if (compress(file.data() + BIRD_FILE_HEADER_SIZE, &compressed_size, data, static_cast<uLong>(size)) != Z_OK) {
        return {};
    }
    file.resize(BIRD_FILE_HEADER_SIZE + compressed_size);
    return file;
}

void exercise(BirdFile& image) {
    for (uint8_t type = 0; type < 32; ++type) {
        for (const BirdBlock& block : image.FindBlocks(type)) {
            // Touch every byte a block hands out, so a block reaching past the body is caught.
            volatile uint8_t sum = 0;
            for (uint32_t index = 0; index < block.length; ++index) sum = static_cast<uint8_t>(sum + block.data[index]);
            for (uint32_t index = 0; index < block.PayloadLength(); ++index) sum = static_cast<uint8_t>(sum ^ block.Payload()[index]);
        }
    }
    image.FindSerialNumberOffsets();
    image.GetBuild();
    image.GetVersion();
    image.GetSerialNumber();
    image.ValidateSerialNumber(0x40F5849A);
    image.ValidateModel("LV-HUB4");
    image.ValidateModel("");
    image.ReplaceSerialNumber(0x1A2B3C4D);
    image.ReplaceVectorChecksum();
    const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    image.DecodeFirmwareBlocks(key);
    image.DumpBlocks(BirdFile::BLOCK_INFO);
    BirdFile moved = std::move(image);
    moved.ReplaceSerialNumber(0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The dump and the log are exercised but go nowhere.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    Log::SetOutput(stdout);
    Log::ActivatePackage(DEBUG_BirdFile);
    char pattern[] = "/tmp/bird-fuzz-XXXXXX";
    int descriptor = mkstemp(pattern);
    if (descriptor < 0) abort();
    close(descriptor);
    image_path = pattern;
    atexit([] { unlink(image_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> file = as_file(data, size);
    FILE* output = fopen(image_path.c_str(), "wb");
    if (output == nullptr) abort();
    if (!file.empty() && fwrite(file.data(), 1, file.size(), output) != file.size()) abort();
    fclose(output);

    BirdFile::VerifyFile(image_path);
    try {
        BirdFile image(image_path);
        exercise(image);
    } catch (const std::runtime_error&) {
        // A file that cannot be loaded is an expected outcome.
    }
    return 0;
}
