/* The UTF-8 decoder. */
#include "utf8.h"

#define ASCII_END 0x80
/* Continuation bytes are 10xxxxxx. */
#define CONTINUATION_MASK 0xC0
#define CONTINUATION 0x80
#define PAYLOAD_BITS 6
#define PAYLOAD_MASK 0x3F
#define LAST_C0 0x1F
#define DEL 0x7F
#define LAST_C1 0x9F

static bool is_continuation(unsigned char b) {
    return (b & CONTINUATION_MASK) == CONTINUATION;
}

vd_utf8_seq vd_utf8_decode(const unsigned char* bytes, size_t len) {
    vd_utf8_seq out = {VD_UTF8_INVALID, 0, 1};
    const unsigned char lead = bytes[0];
    if (lead < ASCII_END) {
        out.kind = VD_UTF8_CHAR;
        out.code_point = lead;
        return out;
    }

    /* The lead byte fixes the length and the range of the second byte, which
     * is where overlong forms, surrogates and values above U+10FFFF show. */
    size_t need = 0;
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xBF;
    uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
        value = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        value = lead & 0x0FU;
        if (lead == 0xE0)
            second_min = 0xA0;
        else if (lead == 0xED)
            second_max = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        value = lead & 0x07U;
        if (lead == 0xF0)
            second_min = 0x90;
        else if (lead == 0xF4)
            second_max = 0x8F;
    } else {
        /* 80..BF continue a sequence, C0 and C1 only begin overlong forms,
         * F5..FF begin values above U+10FFFF. */
        return out;
    }

    for (size_t i = 1; i < need; ++i) {
        if (i == len) {
            out.kind = VD_UTF8_INCOMPLETE;
            out.len = len;
            return out;
        }
        const unsigned char b = bytes[i];
        const bool fits = i == 1 ? b >= second_min && b <= second_max : is_continuation(b);
        if (!fits) {
            /* A bad second byte leaves only the lead byte as the invalid
             * sequence. */
            out.len = i;
            return out;
        }
        value = (value << PAYLOAD_BITS) | (b & PAYLOAD_MASK);
    }
    out.kind = VD_UTF8_CHAR;
    out.code_point = value;
    out.len = need;
    return out;
}

size_t vd_utf8_prefix_len(const char* text, size_t len, size_t max) {
    if (len <= max)
        return len;
    while (max > 0 && is_continuation((unsigned char)text[max]))
        --max;
    return max;
}

bool vd_is_control(uint32_t code_point) {
    return code_point <= LAST_C0 || (code_point >= DEL && code_point <= LAST_C1);
}
