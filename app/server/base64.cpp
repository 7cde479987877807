#include "server/base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof kAlphabet == 65, "64 characters and the terminator");

const unsigned char kInvalid = 0xFF;

// Fills `table` so that table[c] is the 6-bit value of alphabet character c and kInvalid for every
// other byte (including "=", which the decoder handles by position).
void _build_decoding_table(unsigned char (&table)[256]) {
    for (unsigned char& entry : table) entry = kInvalid;
    for (unsigned i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
}

}  // namespace

char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length) {
    if (output_length) *output_length = 0;
    if (input_length > (SIZE_MAX - 1) / 4 * 3 - 2) return nullptr;
    const size_t length = 4 * ((input_length + 2) / 3);
    char* text = static_cast<char*>(malloc(length + 1));
    if (!text) return nullptr;

    size_t in = 0;
    size_t out = 0;
    while (in < input_length) {
        const size_t left = input_length - in;
        const uint32_t a = data[in];
        const uint32_t b = left > 1 ? data[in + 1] : 0;
        const uint32_t c = left > 2 ? data[in + 2] : 0;
        const uint32_t triple = (a << 16) | (b << 8) | c;
        text[out++] = kAlphabet[(triple >> 18) & 0x3F];
        text[out++] = kAlphabet[(triple >> 12) & 0x3F];
        text[out++] = left > 1 ? kAlphabet[(triple >> 6) & 0x3F] : '=';
        text[out++] = left > 2 ? kAlphabet[triple & 0x3F] : '=';
        in += left > 3 ? 3 : left;
    }
    text[out] = '\0';
    if (output_length) *output_length = length;
    return text;
}

unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length) {
    if (output_length) *output_length = 0;
    if (input_length % 4 != 0) return nullptr;
    if (input_length > 0 && !data) return nullptr;

    unsigned char table[256];
    _build_decoding_table(table);

    // Padding is only ever the last one or two characters; looking at them needs a non-empty text.
    size_t padding = 0;
    if (input_length > 0 && data[input_length - 1] == '=') {
        padding = data[input_length - 2] == '=' ? 2 : 1;
    }
    const size_t length = input_length / 4 * 3 - padding;
    unsigned char* bytes = static_cast<unsigned char*>(malloc(length + 1));
    if (!bytes) return nullptr;

    size_t out = 0;
    for (size_t in = 0; in < input_length; in += 4) {
        const bool last = in + 4 == input_length;
        uint32_t quad = 0;
        for (size_t k = 0; k < 4; ++k) {
            const unsigned char ch = static_cast<unsigned char>(data[in + k]);
            unsigned char value = table[ch];
            if (ch == '=' && last && k >= 4 - padding) {
                value = 0;
            } else if (value == kInvalid) {
                free(bytes);
                return nullptr;
            }
            quad = (quad << 6) | value;
        }
        if (out < length) bytes[out++] = static_cast<unsigned char>(quad >> 16);
        if (out < length) bytes[out++] = static_cast<unsigned char>(quad >> 8);
        if (out < length) bytes[out++] = static_cast<unsigned char>(quad);
    }
    bytes[length] = 0;
    if (output_length) *output_length = length;
    return bytes;
}
