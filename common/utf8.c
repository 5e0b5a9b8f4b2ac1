/* The UTF-8 decoder. */
#include "utf8.h"

#define ASCII_END 0x80
/* Continuation bytes are 10xxxxxx. */
#define CONTINUATION_MASK 0xC0
#define CONTINUATION 0x80
#define PAYLOAD_BITS 6
#define PAYLOAD_MASK 0x3F
#define LEAD_VALUE_MASK 0xFFU
#define LAST_C0 0x1F
#define DEL 0x7F
#define LAST_C1 0x9F

static bool is_continuation(unsigned char b) {
    return (b & CONTINUATION_MASK) == CONTINUATION;
}

/* The well-formed multi-byte sequences by lead byte (RFC 3629's table): the
 * length, and the range of the second byte, which is where overlong forms,
 * surrogates and values above U+10FFFF show. No other byte leads one: 80..BF
 * continue a sequence, C0 and C1 only begin overlong forms, F5..FF begin
 * values above U+10FFFF. */
struct lead_byte {
    unsigned char first, last;
    size_t len;
    unsigned char second_min, second_max;
};
static const struct lead_byte LEAD_BYTES[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, /* U+0080..U+07FF */
    {0xE0, 0xE0, 3, 0xA0, 0xBF}, /* U+0800..U+0FFF */
    {0xE1, 0xEC, 3, 0x80, 0xBF}, /* U+1000..U+CFFF */
    {0xED, 0xED, 3, 0x80, 0x9F}, /* U+D000..U+D7FF, short of the surrogates */
    {0xEE, 0xEF, 3, 0x80, 0xBF}, /* U+E000..U+FFFF */
    {0xF0, 0xF0, 4, 0x90, 0xBF}, /* U+10000..U+3FFFF */
    {0xF1, 0xF3, 4, 0x80, 0xBF}, /* U+40000..U+FFFFF */
    {0xF4, 0xF4, 4, 0x80, 0x8F}, /* U+100000..U+10FFFF */
};
#define LEAD_BYTE_COUNT (sizeof LEAD_BYTES / sizeof LEAD_BYTES[0])

/* The rule for the sequence that `lead` begins, or NULL. */
static const struct lead_byte* lead_rule(unsigned char lead) {
    for (size_t i = 0; i < LEAD_BYTE_COUNT; ++i)
        if (lead >= LEAD_BYTES[i].first && lead <= LEAD_BYTES[i].last)
            return &LEAD_BYTES[i];
    return NULL;
}

vd_utf8_seq vd_utf8_decode(const unsigned char* bytes, size_t len) {
    vd_utf8_seq out = {VD_UTF8_INVALID, 0, 1};
    const unsigned char lead = bytes[0];
    if (lead < ASCII_END) {
        out.kind = VD_UTF8_CHAR;
        out.code_point = lead;
        return out;
    }
    const struct lead_byte* rule = lead_rule(lead);
    if (rule == NULL)
        return out;
    /* The lead byte's bits below its length marker begin the value. */
    uint32_t value = lead & (LEAD_VALUE_MASK >> (rule->len + 1));
    for (size_t i = 1; i < rule->len; ++i) {
        if (i == len) {
            out.kind = VD_UTF8_INCOMPLETE;
            out.len = len;
            return out;
        }
        const unsigned char b = bytes[i];
        const bool fits =
            i == 1 ? b >= rule->second_min && b <= rule->second_max : is_continuation(b);
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
    out.len = rule->len;
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
