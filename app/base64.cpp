#include "base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr char encoding_table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char PAD = '=';
// Pad characters an encoding needs, by input length modulo 3.
constexpr size_t mod_table[] = {0, 2, 1};
constexpr uint8_t NOT_IN_ALPHABET = 0xFF;

constexpr std::array<uint8_t, 256> make_decoding_table() {
    std::array<uint8_t, 256> table{};
    for (auto& entry : table) entry = NOT_IN_ALPHABET;
    for (uint8_t index = 0; index < 64; ++index) table[static_cast<unsigned char>(encoding_table[index])] = index;
    return table;
}

constexpr std::array<uint8_t, 256> decoding_table = make_decoding_table();

}  // namespace

unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length) {
    if (data == nullptr || output_length == nullptr || input_length % 4 != 0) return nullptr;

    size_t padding = 0;
    if (input_length > 0 && data[input_length - 1] == PAD) {
        ++padding;
        if (data[input_length - 2] == PAD) ++padding;
    }
    size_t length = input_length / 4 * 3 - padding;

    auto* decoded = static_cast<unsigned char*>(malloc(length + 1));
    if (decoded == nullptr) return nullptr;

    size_t out = 0;
    for (size_t in = 0; in < input_length; in += 4) {
        uint32_t triple = 0;
        for (size_t k = 0; k < 4; ++k) {
            size_t position = in + k;
            unsigned char character = static_cast<unsigned char>(data[position]);
            uint8_t sextet;
            if (character == PAD && position >= input_length - padding) {
                sextet = 0;  // padding counts as zero bits
            } else {
                sextet = decoding_table[character];
                if (sextet == NOT_IN_ALPHABET) {
                    free(decoded);
                    return nullptr;
                }
            }
            triple = (triple << 6) | sextet;
        }
        for (int shift = 16; shift >= 0 && out < length; shift -= 8) {
            decoded[out++] = static_cast<unsigned char>(triple >> shift);
        }
    }
    decoded[length] = 0;
    *output_length = length;
    return decoded;
}

char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length) {
    if ((data == nullptr && input_length > 0) || output_length == nullptr) return nullptr;

    size_t length = 4 * ((input_length + 2) / 3);
    auto* encoded = static_cast<char*>(malloc(length + 1));
    if (encoded == nullptr) return nullptr;

    size_t out = 0;
    for (size_t in = 0; in < input_length; in += 3) {
        uint32_t a = data[in];
        uint32_t b = in + 1 < input_length ? data[in + 1] : 0;
        uint32_t c = in + 2 < input_length ? data[in + 2] : 0;
        uint32_t triple = (a << 16) | (b << 8) | c;
        for (int shift = 18; shift >= 0; shift -= 6) encoded[out++] = encoding_table[(triple >> shift) & 0x3F];
    }
    for (size_t k = 0; k < mod_table[input_length % 3]; ++k) encoded[length - 1 - k] = PAD;
    encoded[length] = 0;
    *output_length = length;
    return encoded;
}
