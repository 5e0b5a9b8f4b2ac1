/* Frame I/O on an open client's link, bounded by deadlines. Private to the
 * client library: everything here carries the library's internal prefix. */
#ifndef VANDREL_CLIENT_LINK_H
#define VANDREL_CLIENT_LINK_H

#include "check.h"
#include "vandrel/client.h"

#include <stddef.h>
#include <stdint.h>

/* One link to a broker: the struct behind the public opaque type. Only the
 * library sees it, so that it may grow without breaking programs built
 * against an earlier version. */
struct vandrel_client {
    int read_fd;         /* frames from the broker, or -1 when closed */
    int write_fd;        /* frames to the broker, or -1 when closed */
    int write_is_socket; /* write_fd takes send(MSG_NOSIGNAL) */
    int owns_fds;        /* vandrel_close closes the descriptors */
    long broker_pid;     /* the spawned broker, or -1 */
    int os_error;        /* errno of the last failed system call, or 0 */
    size_t rx_len;       /* bytes of the frame being received */
    unsigned char rx[VANDREL_FRAME_HEADER_LEN + VANDREL_MAX_FRAME_PAYLOAD];
    size_t owed_answers;                          /* ticket requests sent and not answered yet */
    char broker_error[VANDREL_BROKER_ERROR_SIZE]; /* the last error reply's text */
    char address[VDC_MAX_ADDR_LEN + 1];           /* where vandrel_connect went, or "" */
};

/* A point on the monotonic clock in milliseconds; VDC_NO_DEADLINE waits
 * without limit. */
#define VDC_NO_DEADLINE INT64_C(-1)

/* The monotonic clock, in milliseconds. */
int64_t vdc_now_ms(void);

/* The deadline `timeout_ms` from now; a negative timeout means none. */
int64_t vdc_deadline_after(int timeout_ms);

/* The poll(2) timeout left until `deadline`: -1 for none, 0 once passed. */
int vdc_poll_timeout(int64_t deadline);

/* Sleeps for `ms` milliseconds, or less when a signal interrupts it. */
void vdc_pause_ms(int ms);

/* Records `err` as the client's last system error and returns `status`. */
vandrel_status vdc_fail(vandrel_client* client, vandrel_status status, int err);

/* True when `fd` is a socket, so writes can use send(MSG_NOSIGNAL). */
int vdc_is_socket(int fd);

/* Writes one frame holding `payload` (at most VANDREL_MAX_FRAME_PAYLOAD
 * bytes) in a single write call where the link allows. A broker that has gone
 * is VANDREL_ERR_CLOSED; the caller never receives SIGPIPE. */
vandrel_status vdc_send_frame(vandrel_client* client, const char* payload, size_t len,
                              int64_t deadline);

/* Waits until a whole frame is in `client->rx` and sets `*payload_len`; the
 * payload starts at rx + VANDREL_FRAME_HEADER_LEN. A partial frame stays
 * buffered across a time-out, so the link never loses its place. A bad magic
 * or an oversized length is VANDREL_ERR_PROTOCOL and stays at the front, so
 * every later call fails the same way. */
vandrel_status vdc_receive_frame(vandrel_client* client, int64_t deadline, size_t* payload_len);

/* Drops the frame that vdc_receive_frame delivered. */
void vdc_consume_frame(vandrel_client* client);

#endif
