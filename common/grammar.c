/* Hex, decimals, AppIDs and identities. */
#include "grammar.h"

#include "utf8.h"
#include "vandrel/wire.h"

#include <string.h>

#define HEX_DIGITS "0123456789abcdef"
#define NIBBLE_BITS 4
#define NIBBLE_MASK 0xF
#define DECIMAL 10
#define HEX_LETTER_VALUE 10

/* The value of one hex digit, or -1. */
static int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + HEX_LETTER_VALUE;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + HEX_LETTER_VALUE;
    return -1;
}

void vd_hex_encode(const unsigned char* data, size_t len, char* out) {
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = HEX_DIGITS[data[i] >> NIBBLE_BITS];
        out[2 * i + 1] = HEX_DIGITS[data[i] & NIBBLE_MASK];
    }
    out[2 * len] = '\0';
}

size_t vd_hex_decode(const char* text, size_t len, unsigned char* out, size_t capacity) {
    size_t n = 0;
    for (; n < capacity && 2 * n + 1 < len; ++n) {
        const int high = hex_value(text[2 * n]);
        const int low = hex_value(text[2 * n + 1]);
        if (high < 0 || low < 0)
            break;
        out[n] = (unsigned char)(high << NIBBLE_BITS | low);
    }
    return n;
}

bool vd_parse_app_data(const char* text, size_t len, unsigned char* out, size_t* out_len) {
    if (len == 0 || len % 2 != 0 || len / 2 > VANDREL_MAX_APP_DATA_LEN)
        return false;
    if (vd_hex_decode(text, len, out, VANDREL_MAX_APP_DATA_LEN) != len / 2)
        return false;
    *out_len = len / 2;
    return true;
}

bool vd_parse_decimal(const char* text, size_t len, uint64_t max, uint64_t* out) {
    if (len == 0)
        return false;
    uint64_t value = 0;
    for (size_t i = 0; i < len; ++i) {
        const unsigned digit = (unsigned char)text[i] - (unsigned)'0';
        /* Checked before the step, so that the value never wraps. */
        if (digit > 9 || digit > max || value > (max - digit) / DECIMAL)
            return false;
        value = value * DECIMAL + digit;
    }
    *out = value;
    return true;
}

bool vd_parse_appid(const char* text, size_t len, uint32_t* out) {
    uint64_t value = 0;
    if (!vd_parse_decimal(text, len, UINT32_MAX, &value) || value == 0)
        return false;
    *out = (uint32_t)value;
    return true;
}

bool vd_parse_child_appid(const char* text, size_t len, uint32_t* out) {
    if (len > 0 && text[0] == '+')
        ++text, --len;
    uint64_t value = 0;
    if (!vd_parse_decimal(text, len, UINT32_MAX, &value))
        return false;
    *out = (uint32_t)value;
    return true;
}

bool vd_is_identity(const char* text, size_t len) {
    static const char none[] = VANDREL_NO_ARGUMENT;
    if (len == 0 || len > VANDREL_MAX_IDENTITY_LEN ||
        (len == sizeof none - 1 && memcmp(text, none, len) == 0))
        return false;
    const unsigned char* bytes = (const unsigned char*)text;
    for (size_t pos = 0; pos < len;) {
        const vd_utf8_seq seq = vd_utf8_decode(bytes + pos, len - pos);
        if (seq.kind != VD_UTF8_CHAR || seq.code_point == ' ' || vd_is_control(seq.code_point))
            return false;
        pos += seq.len;
    }
    return true;
}
