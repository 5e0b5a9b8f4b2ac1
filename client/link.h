/* Frame I/O on an open client's link, each step without blocking, and the
 * waits of the blocking calls. Private to the client library: everything
 * here carries the library's internal prefix. */
#ifndef VANDREL_CLIENT_LINK_H
#define VANDREL_CLIENT_LINK_H

#include "check.h"
#include "requests.h"
#include "vandrel/client.h"

#include <poll.h>
#include <stddef.h>
#include <stdint.h>

/* A frame as it travels: the header and the largest payload. */
#define VDC_MAX_FRAME (VANDREL_FRAME_HEADER_LEN + VANDREL_MAX_FRAME_PAYLOAD)
/* The commands queued while the link cannot take them: room for one more
 * behind one that is half written. */
#define VDC_TX_SIZE ((size_t)2 * VDC_MAX_FRAME)

/* One link to a broker: the struct behind the public opaque type. Only the
 * library sees it, so that it may grow without breaking programs built
 * against an earlier version. */
struct vandrel_client {
    int read_fd;           /* frames from the broker, or -1 when closed */
    int write_fd;          /* frames to the broker, or -1 when closed */
    int write_is_socket;   /* write_fd takes send(MSG_NOSIGNAL) */
    int owns_fds;          /* vandrel_close closes the descriptors */
    long broker_pid;       /* the spawned broker, or -1 */
    int os_error;          /* errno of the last failed system call, or 0 */
    vandrel_status failed; /* VANDREL_OK, or how the link failed for good */
    size_t rx_len;         /* bytes of the frame being received */
    unsigned char rx[VDC_MAX_FRAME];
    size_t tx_at;  /* the first byte of tx still to write */
    size_t tx_len; /* the end of what tx holds */
    unsigned char tx[VDC_TX_SIZE];
    struct vdc_requests requests;                 /* the requests in flight */
    char broker_error[VANDREL_BROKER_ERROR_SIZE]; /* the text of the request last handed over */
    char address[VDC_MAX_ADDR_LEN + 1];           /* where vandrel_connect went, or "" */
};

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

/* Queues one frame holding `payload` (at most VANDREL_MAX_FRAME_PAYLOAD
 * bytes) behind the bytes still to write. False, with nothing queued, when
 * the queue has no room for it. */
int vdc_queue_frame(vandrel_client* client, const char* payload, size_t len);

/* True while queued bytes are still to be written. */
int vdc_is_writing(const vandrel_client* client);

/* Writes as much of the queue as the link takes now, without blocking. A
 * broker that has gone is VANDREL_ERR_CLOSED; the caller never receives
 * SIGPIPE. */
vandrel_status vdc_write_some(vandrel_client* client);

/* Writes the whole queue, waiting until `deadline` for the link to take it:
 * VANDREL_ERR_TIMEOUT when bytes are left then (they stay queued). */
vandrel_status vdc_flush(vandrel_client* client, int64_t deadline);

/* Reads what the current frame still lacks, without blocking: VANDREL_OK with
 * `*payload_len` set once the whole frame is in `client->rx` (its payload at
 * rx + VANDREL_FRAME_HEADER_LEN), VANDREL_ERR_TIMEOUT (nothing recorded) while
 * it is not, or how the link failed. A bad magic or an oversized length is
 * VANDREL_ERR_PROTOCOL. */
vandrel_status vdc_read_frame(vandrel_client* client, size_t* payload_len);

/* Drops the frame that vdc_read_frame delivered. */
void vdc_consume_frame(vandrel_client* client);

/* Fills `fds` with the client's descriptors to poll (see vandrel_poll_fds). */
size_t vdc_poll_fds(const vandrel_client* client, struct pollfd* fds);

/* Waits until the link has something for vdc_write_some or vdc_read_frame,
 * or `deadline`. VANDREL_OK, or VANDREL_ERR_IO when poll(2) fails. */
vandrel_status vdc_wait(vandrel_client* client, int64_t deadline);

#endif
