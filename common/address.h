/* The address forms, each read by one function that the broker, the client
 * library and vandrel-ticket share: the game server's "a.b.c.d:port", a TCP
 * "host:port" and its port, "unix:PATH", and the order in which a client
 * looks for its broker when it is given no address. */
#ifndef VANDREL_COMMON_ADDRESS_H
#define VANDREL_COMMON_ADDRESS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A game server's IPv4 socket address. */
typedef struct vd_server_address {
    unsigned char octets[4];
    uint16_t port;
} vd_server_address;

/* The server address of the ticket commands, the whole text: four dotted
 * decimal octets (1 to 3 digits, at most 255, no leading zero), ':' and a
 * port of one or more digits up to 65535 (leading zeros allowed). No sign,
 * no blank, no host name, no IPv6. */
bool vd_parse_server_address(const char* text, size_t len, vd_server_address* out);

/* A TCP port: one or more ASCII digits (leading zeros allowed), at most
 * 65535. */
bool vd_parse_port(const char* text, size_t len, uint16_t* out);

/* A "host:port" text split at its last ':', both parts pointing into it. */
typedef struct vd_host_port {
    const char* host;
    size_t host_len;
    const char* port;
    size_t port_len;
} vd_host_port;
/* Splits `text` at its last ':'; false when it has none. Neither part is
 * checked. */
bool vd_split_host_port(const char* text, size_t len, vd_host_port* out);

/* The inside of a bracketed host, "[v6addr]": true, with `*inside` pointing
 * past the '[' and `*inside_len` up to the ']', when `host` begins with '['
 * and its only ']' is its last character. */
bool vd_unbracket(const char* host, size_t len, const char** inside, size_t* inside_len);

/* The prefix of a Unix socket address, "unix:PATH". */
#define VD_UNIX_ADDR_PREFIX "unix:"
#define VD_UNIX_ADDR_PREFIX_LEN 5
/* The path of a "unix:PATH" address (possibly empty), pointing into `text`;
 * NULL for an address of another form. */
const char* vd_unix_path(const char* text, size_t len);

/* The broker's address for a client given none: $VANDREL_BROKER when it is
 * set and not empty; else "unix:" and $XDG_RUNTIME_DIR/vandrel/socket when
 * that is a socket (written into `buf`, of `size` bytes); else
 * VANDREL_DEFAULT_BROKER_ADDR. A setuid or setgid program ignores the
 * environment, as its invoker must not redirect it. */
const char* vd_default_broker_address(char* buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif
