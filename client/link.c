/* Frame I/O on the client's link: deadlines, SIGPIPE-free writes, and a
 * receive buffer that holds at most one frame. */
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

/* Waits for `events` on `fd` until `deadline`: 1 ready, 0 timed out, -1 error. */
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

/* A read or write that may simply be tried again. */
static int is_transient(int err) {
    return err == EINTR || err == EAGAIN || err == EWOULDBLOCK;
}

/* A failed read or write: the broker has gone, or the link broke. */
static vandrel_status link_failed(vandrel_client* client, int err) {
    return vdc_fail(client, is_peer_gone(err) ? VANDREL_ERR_CLOSED : VANDREL_ERR_IO, err);
}

static vandrel_status write_all(vandrel_client* client, const unsigned char* buf, size_t len,
                                int64_t deadline) {
    size_t done = 0;
    while (done < len) {
        int ready = wait_fd(client->write_fd, POLLOUT, deadline);
        if (ready < 0)
            return vdc_fail(client, VANDREL_ERR_IO, errno);
        if (ready == 0)
            return vdc_fail(client, VANDREL_ERR_TIMEOUT, 0);
        ssize_t n = client->write_is_socket
                        ? send(client->write_fd, buf + done, len - done, MSG_NOSIGNAL)
                        : write_without_sigpipe(client->write_fd, buf + done, len - done);
        if (n < 0) {
            if (is_transient(errno))
                continue;
            return link_failed(client, errno);
        }
        if (n == 0)
            return vdc_fail(client, VANDREL_ERR_IO, 0);
        done += (size_t)n;
    }
    return VANDREL_OK;
}

vandrel_status vdc_send_frame(vandrel_client* client, const char* payload, size_t len,
                              int64_t deadline) {
    unsigned char frame[VANDREL_FRAME_HEADER_LEN + VANDREL_MAX_FRAME_PAYLOAD];
    if (len > VANDREL_MAX_FRAME_PAYLOAD)
        return vdc_fail(client, VANDREL_ERR_ARGUMENT, 0);
    /* The magic travels without its terminator. */
    /* NOLINTNEXTLINE(bugprone-not-null-terminated-result) */
    memcpy(frame, VANDREL_FRAME_MAGIC, VANDREL_FRAME_MAGIC_LEN);
    vandrel_store_le(frame + VANDREL_FRAME_LEN_AT, VANDREL_FRAME_LEN_SIZE, len);
    memcpy(frame + VANDREL_FRAME_HEADER_LEN, payload, len);
    return write_all(client, frame, VANDREL_FRAME_HEADER_LEN + len, deadline);
}

/* The payload length of the buffered header, or -1 when the header is bad. */
static long header_payload_len(const unsigned char* header) {
    if (memcmp(header, VANDREL_FRAME_MAGIC, VANDREL_FRAME_MAGIC_LEN) != 0)
        return -1;
    long len = (long)vandrel_load_le(header + VANDREL_FRAME_LEN_AT, VANDREL_FRAME_LEN_SIZE);
    return len > VANDREL_MAX_FRAME_PAYLOAD ? -1 : len;
}

vandrel_status vdc_receive_frame(vandrel_client* client, int64_t deadline, size_t* payload_len) {
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

        int ready = wait_fd(client->read_fd, POLLIN, deadline);
        if (ready < 0)
            return vdc_fail(client, VANDREL_ERR_IO, errno);
        if (ready == 0)
            return vdc_fail(client, VANDREL_ERR_TIMEOUT, 0);
        ssize_t n = read(client->read_fd, client->rx + client->rx_len, want - client->rx_len);
        if (n < 0) {
            if (is_transient(errno))
                continue;
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
