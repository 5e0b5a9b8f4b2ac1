/* The forms of the names and addresses that the client takes from its caller.
 * Private to the client library. */
#ifndef VANDREL_CLIENT_CHECK_H
#define VANDREL_CLIENT_CHECK_H

#include <stddef.h>

/* The longest "host:port" text vandrel_connect takes. */
#define VDC_MAX_ADDR_LEN 300

/* True for 1 to `max_len` printable ASCII characters without white space:
 * exactly one token to the broker, with nothing to escape. */
int vdc_is_word(const char* text, size_t max_len);

/* vdc_is_word with VANDREL_MAX_GAMEDIR_LEN. */
int vdc_is_gamedir(const char* text);

/* True for a server address (vd_parse_server_address) of at most 32
 * characters. */
int vdc_is_server_address(const char* text);

/* True for an identity (vd_is_identity); false for NULL. */
int vdc_is_identity(const char* text);

/* Splits "host:port" or "[host]:port" (at most VDC_MAX_ADDR_LEN characters)
 * into `host` (NUL-terminated, brackets removed, not empty) and `port`
 * (pointing into `addr`, a port by vd_parse_port). False when malformed. */
int vdc_split_host_port(const char* addr, char* host, size_t host_size, const char** port);

#endif
