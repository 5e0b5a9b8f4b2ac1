/* Frame I/O on the client's link: a queue of commands written as the link
 * takes them, SIGPIPE-free writes, and a receive buffer that holds at most
 * one frame. Reads and writes never block: the descriptors may be the
 * caller's, in blocking mode, so each comes after poll(2) said it would not
 * wait, or asks the socket not to. Only the waits wait, in poll(2). */
#include "link.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MS_PER_S 1000
#define NS_PER_MS 1000000L

int64_t vdc_now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * MS_PER_S + ts.tv_nsec / NS_PER_MS;
}

int64_t vdc_deadline_after(int timeout_ms) {
    if (timeout_ms < 0)
        return VDC_NO_DEADLINE;
    return vdc_now_ms() + timeout_ms;
}

int vdc_poll_timeout(int64_t deadline) {
    if (deadline == VDC_NO_DEADLINE)
        return -1;
    int64_t left = deadline - vdc_now_ms();
    if (left <= 0)
        return 0;
    return left > INT32_MAX ? INT32_MAX : (int)left;
}

void vdc_pause_ms(int ms) {
    struct timespec pause = {ms / MS_PER_S, (ms % MS_PER_S) * NS_PER_MS};
    nanosleep(&pause, NULL);
}

vandrel_status vdc_fail(vandrel_client* client, vandrel_status status, int err) {
    client->os_error = err;
    return status;
}

int vdc_is_socket(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

/* The most bytes written to a pipe at once. A pipe that polls writable has
 * room for at least this much, so such a write never waits, even on a
 * descriptor in blocking mode. */
#define PIPE_CHUNK PIPE_BUF

/* Waits for `events` on `fd` until `deadline` (0 timeout when it has passed):
 * 1 ready, 0 timed out, -1 error. */
static int wait_fd(int fd, short events, int64_t deadline) {
    for (;;) {
        struct pollfd p;
        p.fd = fd;
        p.events = events;
        p.revents = 0;
        int rc = poll(&p, 1, vdc_poll_timeout(deadline));
        if (rc > 0)
            return 1;
        if (rc == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

/* Whether `events` are on `fd` now: 1 ready, 0 not, -1 error. */
static int fd_ready(int fd, short events) {
    return wait_fd(fd, events, 0);
}

/* write(2) to a pipe with SIGPIPE blocked in this thread only, so a vanished
 * broker is an EPIPE error instead of the end of the caller's process. A
 * SIGPIPE that this write raised is taken back before the mask is restored;
 * one that was already pending stays pending. */
static ssize_t write_without_sigpipe(int fd, const void* buf, size_t len) {
    sigset_t pipe_only;
    sigset_t old;
    sigset_t pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    sigemptyset(&pending);
    sigpending(&pending);
    int was_pending = sigismember(&pending, SIGPIPE);

    ssize_t n = write(fd, buf, len);
    int err = errno;
    if (n < 0 && err == EPIPE && !was_pending) {
        struct timespec zero = {0, 0};
        while (sigtimedwait(&pipe_only, NULL, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, NULL);
    errno = err;
    return n;
}

/* Errors that mean the broker's end of the link is gone. */
static int is_peer_gone(int err) {
    return err == EPIPE || err == ECONNRESET;
}

/* A read or write that would have to wait. */
static int would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

/* A failed read or write: the broker has gone, or the link broke. */
static vandrel_status link_failed(vandrel_client* client, int err) {
    return vdc_fail(client, is_peer_gone(err) ? VANDREL_ERR_CLOSED : VANDREL_ERR_IO, err);
}

int vdc_queue_frame(vandrel_client* client, const char* payload, size_t len) {
    size_t need = VANDREL_FRAME_HEADER_LEN + len;
    if (len > VANDREL_MAX_FRAME_PAYLOAD)
        return 0;
    if (client->tx_len + need > VDC_TX_SIZE && client->tx_at > 0) {
        memmove(client->tx, client->tx + client->tx_at, client->tx_len - client->tx_at);
        client->tx_len -= client->tx_at;
        client->tx_at = 0;
    }
    if (client->tx_len + need > VDC_TX_SIZE)
        return 0;
    unsigned char* frame = client->tx + client->tx_len;
    /* The magic travels without its terminator. */
    /* NOLINTNEXTLINE(bugprone-not-null-terminated-result) */
    memcpy(frame, VANDREL_FRAME_MAGIC, VANDREL_FRAME_MAGIC_LEN);
    vandrel_store_le(frame + VANDREL_FRAME_LEN_AT, VANDREL_FRAME_LEN_SIZE, len);
    memcpy(frame + VANDREL_FRAME_HEADER_LEN, payload, len);
    client->tx_len += need;
    return 1;
}

int vdc_is_writing(const vandrel_client* client) {
    return client->tx_at < client->tx_len;
}

vandrel_status vdc_write_some(vandrel_client* client) {
    while (vdc_is_writing(client)) {
        const unsigned char* buf = client->tx + client->tx_at;
        size_t len = client->tx_len - client->tx_at;
        ssize_t n = 0;
        if (client->write_is_socket) {
            n = send(client->write_fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        } else {
            int ready = fd_ready(client->write_fd, POLLOUT);
            if (ready < 0)
                return vdc_fail(client, VANDREL_ERR_IO, errno);
            if (ready == 0)
                return VANDREL_OK;
            n = write_without_sigpipe(client->write_fd, buf, len < PIPE_CHUNK ? len : PIPE_CHUNK);
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (would_block(errno))
                return VANDREL_OK;
            return link_failed(client, errno);
        }
        if (n == 0)
            return vdc_fail(client, VANDREL_ERR_IO, 0);
        client->tx_at += (size_t)n;
    }
    client->tx_at = 0;
    client->tx_len = 0;
    return VANDREL_OK;
}

vandrel_status vdc_flush(vandrel_client* client, int64_t deadline) {
    for (;;) {
        vandrel_status status = vdc_write_some(client);
        if (status != VANDREL_OK || !vdc_is_writing(client))
            return status;
        int ready = wait_fd(client->write_fd, POLLOUT, deadline);
        if (ready < 0)
            return vdc_fail(client, VANDREL_ERR_IO, errno);
        if (ready == 0)
            return VANDREL_ERR_TIMEOUT;
    }
}

/* The payload length of the buffered header, or -1 when the header is bad. */
static long header_payload_len(const unsigned char* header) {
    if (memcmp(header, VANDREL_FRAME_MAGIC, VANDREL_FRAME_MAGIC_LEN) != 0)
        return -1;
    long len = (long)vandrel_load_le(header + VANDREL_FRAME_LEN_AT, VANDREL_FRAME_LEN_SIZE);
    return len > VANDREL_MAX_FRAME_PAYLOAD ? -1 : len;
}

vandrel_status vdc_read_frame(vandrel_client* client, size_t* payload_len) {
    for (;;) {
        /* Read only what the current frame still lacks: the buffer never
         * holds more than one frame and nothing of the next. */
        size_t want = VANDREL_FRAME_HEADER_LEN;
        if (client->rx_len >= VANDREL_FRAME_HEADER_LEN) {
            long len = header_payload_len(client->rx);
            if (len < 0)
                return vdc_fail(client, VANDREL_ERR_PROTOCOL, 0);
            want += (size_t)len;
            if (client->rx_len == want) {
                *payload_len = (size_t)len;
                return VANDREL_OK;
            }
        }

        int ready = fd_ready(client->read_fd, POLLIN);
        if (ready < 0)
            return vdc_fail(client, VANDREL_ERR_IO, errno);
        if (ready == 0)
            return VANDREL_ERR_TIMEOUT;
        ssize_t n = read(client->read_fd, client->rx + client->rx_len, want - client->rx_len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (would_block(errno))
                return VANDREL_ERR_TIMEOUT;
            return link_failed(client, errno);
        }
        if (n == 0)
            return vdc_fail(client, VANDREL_ERR_CLOSED, 0);
        client->rx_len += (size_t)n;
    }
}

void vdc_consume_frame(vandrel_client* client) {
    client->rx_len = 0;
}

size_t vdc_poll_fds(const vandrel_client* client, struct pollfd* fds) {
    if (client->read_fd < 0 || client->write_fd < 0 || client->failed != VANDREL_OK)
        return 0;
    size_t n = 0;
    fds[n].fd = client->read_fd;
    fds[n].events = POLLIN;
    fds[n].revents = 0;
    ++n;
    if (vdc_is_writing(client)) {
        if (client->write_fd == client->read_fd) {
            fds[0].events |= POLLOUT;
        } else {
            fds[n].fd = client->write_fd;
            fds[n].events = POLLOUT;
            fds[n].revents = 0;
            ++n;
        }
    }
    return n;
}

vandrel_status vdc_wait(vandrel_client* client, int64_t deadline) {
    struct pollfd fds[VANDREL_POLL_FDS];
    size_t n = vdc_poll_fds(client, fds);
    if (n == 0)
        return VANDREL_OK; /* a failed link: nothing will come */
    if (poll(fds, (nfds_t)n, vdc_poll_timeout(deadline)) < 0 && errno != EINTR)
        return vdc_fail(client, VANDREL_ERR_IO, errno);
    return VANDREL_OK;
}
