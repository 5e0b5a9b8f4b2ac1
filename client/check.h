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

/* True for the broker's server address form: four dotted decimal octets
 * (0 to 255, no leading zero), ':' and a decimal port of at most 65535
 * (leading zeros allowed). No host names, no IPv6, nothing around it. */
int vdc_is_server_address(const char* text);

/* Splits "host:port" or "[host]:port" (at most VDC_MAX_ADDR_LEN characters)
 * into `host` (NUL-terminated, brackets removed) and `port` (pointing into
 * `addr`, a decimal port as above). False when malformed. */
int vdc_split_host_port(const char* addr, char* host, size_t host_size, const char** port);

#endif
