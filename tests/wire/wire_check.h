/* The C side of the wire test: see wire_check.c. */
#ifndef VANDREL_WIRE_CHECK_H
#define VANDREL_WIRE_CHECK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct wire_check_ticket {
    uint32_t challenge;
    uint64_t steam_id;
    uint32_t ticket_len;
    const unsigned char* ticket; /* inside the reply */
};

/* Reads the ticket reply in `reply`: 1 with its fields in `out`, 0 when it is
 * not a whole ticket reply. */
int wire_check_read_ticket_reply(const unsigned char* reply, size_t len,
                                 struct wire_check_ticket* out);

struct wire_check_auth_ticket {
    uint32_t challenge;
    uint64_t steam_id;
    uint32_t handle;
    uint32_t ticket_len;
    const unsigned char* ticket; /* inside the reply */
};

/* Reads the auth ticket reply in `reply` like wire_check_read_ticket_reply. */
int wire_check_read_auth_reply(const unsigned char* reply, size_t len,
                               struct wire_check_auth_ticket* out);

/* Writes the header of a frame with a `payload_len`-byte payload to `out`
 * (VANDREL_FRAME_HEADER_LEN bytes) and returns its length. */
size_t wire_check_frame_header(unsigned char* out, size_t payload_len);

#ifdef __cplusplus
}
#endif

#endif
