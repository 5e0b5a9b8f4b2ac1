/* The small grammars of the wire that the broker, the client library and
 * vandrel-ticket all read or write, each in one function: hex data, unsigned
 * decimals, AppIDs and identities. The addresses are in address.h. Texts are
 * given with their length and need no terminator. */
#ifndef VANDREL_COMMON_GRAMMAR_H
#define VANDREL_COMMON_GRAMMAR_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* --- Hex ------------------------------------------------------------------ */

/* Writes the `len` bytes at `data` as 2 * `len` lowercase hex digits and a
 * NUL to `out`. */
void vd_hex_encode(const unsigned char* data, size_t len, char* out);

/* Decodes the pairs of hex digits (either case) that `text` (`len`
 * characters) begins with into `out`, at most `capacity` bytes, and returns
 * how many it wrote. It stops at the first pair that is not two hex digits:
 * the whole text was hex exactly when it returns `len` / 2 for an even
 * `len`. */
size_t vd_hex_decode(const char* text, size_t len, unsigned char* out, size_t capacity);

/* The data of an app ticket as a client writes it: 1 to
 * VANDREL_MAX_APP_DATA_LEN bytes as an even number of hex digits. Decodes it
 * into `out` (room for VANDREL_MAX_APP_DATA_LEN bytes) and sets `*out_len`;
 * false for any other text. */
bool vd_parse_app_data(const char* text, size_t len, unsigned char* out, size_t* out_len);

/* --- Decimals ------------------------------------------------------------- */

/* An unsigned decimal of at most `max`: one or more ASCII digits, leading
 * zeros allowed, and nothing else (no sign, no blank). Sets `*out`; false for
 * any other text. */
bool vd_parse_decimal(const char* text, size_t len, uint64_t max, uint64_t* out);

/* The AppID a client names ("vd_appid", vandrel-ticket --appid): ASCII
 * digits only (leading zeros allowed), 1 to 4294967295. */
bool vd_parse_appid(const char* text, size_t len, uint32_t* out);

/* The AppID of `vandrel --child`: an optional single '+', then ASCII digits
 * (leading zeros allowed), 0 to 4294967295. */
bool vd_parse_child_appid(const char* text, size_t len, uint32_t* out);

/* --- Identities ----------------------------------------------------------- */

/* True for an identity that the broker hands to Steam as written: 1 to
 * VANDREL_MAX_IDENTITY_LEN bytes of UTF-8 without a space or a control
 * character (C0 with NUL, DEL, C1), and not VANDREL_NO_ARGUMENT, which stands
 * for no identity. Such a text is one argument on the wire, and Steam reads
 * every byte of it. */
bool vd_is_identity(const char* text, size_t len);

#ifdef __cplusplus
}
#endif

#endif
