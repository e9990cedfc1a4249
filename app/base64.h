// Standard base64 (RFC 4648 alphabet, "=" padding): the form in which the update server sends a build.
#pragma once

#include <cstddef>

// The decoded bytes in a new buffer with a NUL after them (release it with free()), their count in
// *output_length. Null when the length is not a multiple of 4, a character lies outside the alphabet,
// or "=" appears anywhere but in the last two places: a damaged build must not pass for a good one.
unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length);

// The encoded text in a new NUL-terminated buffer (release it with free()), its length in *output_length.
char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length);
