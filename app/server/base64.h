// base64: RFC 4648 base64 (alphabet A-Z a-z 0-9 + /, "=" padding) for the BIRD files that the
// update server sends as text.
//
// Both functions allocate their result with malloc; the caller owns it and frees it with free().
// They keep no state (the decoding table is built on each call), so any thread may call them.
#pragma once

#include <cstddef>

// Encodes `input_length` bytes into a newly allocated, zero-terminated text of
// 4 * ceil(input_length / 3) characters, whose length goes to *output_length. Returns null (and
// *output_length 0) only when the text would not fit in memory.
char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length);

// Decodes `input_length` characters of base64 text into newly allocated bytes, followed by one
// terminating zero byte that *output_length does not count. Returns null, with *output_length 0,
// when the text is not valid base64: a length that is not a multiple of 4, a character outside the
// alphabet, or "=" anywhere but in the last two places of the text. An empty text decodes to zero
// bytes (a one-byte buffer holding the terminator). `output_length` may be null.
unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length);
