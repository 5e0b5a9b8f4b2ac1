/* UTF-8 as RFC 3629 defines it, decoded one sequence at a time: the one
 * decoder that the broker's text module, the client library and
 * vandrel-ticket share. */
#ifndef VANDREL_COMMON_UTF8_H
#define VANDREL_COMMON_UTF8_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum vd_utf8_kind {
    /* A well-formed sequence: `code_point` in `len` (1 to 4) bytes. */
    VD_UTF8_CHAR,
    /* An ill-formed sequence of `len` (1 to 3) bytes: up to the byte that
     * cannot continue it, where the next sequence starts. */
    VD_UTF8_INVALID,
    /* The input ends inside a sequence that is well-formed so far; `len` is
     * the rest of the input. */
    VD_UTF8_INCOMPLETE
} vd_utf8_kind;

typedef struct vd_utf8_seq {
    vd_utf8_kind kind;
    uint32_t code_point; /* with VD_UTF8_CHAR */
    size_t len;
} vd_utf8_seq;

/* The sequence at the start of the `len` (at least 1) bytes at `bytes`.
 * Overlong forms, surrogates and values above U+10FFFF are invalid. */
vd_utf8_seq vd_utf8_decode(const unsigned char* bytes, size_t len);

/* The length of the longest prefix of the UTF-8 `text` (`len` bytes) that
 * has at most `max` bytes and does not cut a character in two. */
size_t vd_utf8_prefix_len(const char* text, size_t len, size_t max);

/* True for a control character: C0 (U+0000 to U+001F), DEL (U+007F) and C1
 * (U+0080 to U+009F). */
bool vd_is_control(uint32_t code_point);

#ifdef __cplusplus
}
#endif

#endif
