/* Opening and closing a client's link: TCP, descriptors the caller holds, or
 * a private broker on pipes. Every descriptor the library creates is
 * close-on-exec, so no other program the caller starts inherits the link. */
/* pipe2, SOCK_CLOEXEC and environ. */
#define _GNU_SOURCE

#include "link.h"
#include "peer.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* The longest "host:port" text vandrel_connect takes. */
#define MAX_ADDR_LEN 300
/* How often vandrel_close looks whether a spawned broker has exited. */
#define REAP_POLL_MS 10

static void reset(vandrel_client* client) {
    client->read_fd = -1;
    client->write_fd = -1;
    client->write_is_socket = 0;
    client->owns_fds = 0;
    client->broker_pid = -1;
    client->os_error = 0;
    client->rx_len = 0;
    client->owed_answers = 0;
    client->broker_error[0] = '\0';
}

static void close_fd(int fd) {
    if (fd >= 0)
        close(fd);
}

/* Splits "host:port" or "[host]:port" into `host` (NUL-terminated, brackets
 * removed) and `port` (pointing into `addr`). False when malformed. */
static int split_host_port(const char* addr, char* host, size_t host_size, const char** port) {
    size_t len = strnlen(addr, MAX_ADDR_LEN + 1);
    if (len > MAX_ADDR_LEN)
        return 0;
    const char* host_begin = addr;
    const char* host_end;
    if (addr[0] == '[') {
        host_begin = addr + 1;
        host_end = strchr(host_begin, ']');
        if (host_end == NULL || host_end[1] != ':')
            return 0;
        *port = host_end + 2;
    } else {
        host_end = strrchr(addr, ':');
        if (host_end == NULL)
            return 0;
        *port = host_end + 1;
    }
    size_t host_len = (size_t)(host_end - host_begin);
    if (host_len == 0 || host_len >= host_size)
        return 0;
    memcpy(host, host_begin, host_len);
    host[host_len] = '\0';

    /* A decimal port, 0 to 65535, nothing after it. */
    const char* p = *port;
    long value = 0;
    if (*p == '\0')
        return 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        value = value * 10 + (*p - '0');
        if (value > 65535)
            return 0;
    }
    return 1;
}

/* Connects `fd` (non-blocking) to `ai`, waiting until `deadline`. Returns 0
 * or the errno of the failure. */
static int connect_one(int fd, const struct addrinfo* ai, int64_t deadline) {
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    for (;;) {
        struct pollfd p;
        p.fd = fd;
        p.events = POLLOUT;
        p.revents = 0;
        int rc = poll(&p, 1, vandrel_poll_timeout(deadline));
        if (rc == 0)
            return ETIMEDOUT;
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        int err = 0;
        socklen_t err_len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len) != 0)
            return errno;
        return err;
    }
}

/* Whether the broker at the other end of `fd` may see this user's requests:
 * its socket belongs to this user or to root, or it runs on another host. A
 * host whose socket table cannot be asked is trusted as before; a local end
 * whose owner is gone is not. */
static int broker_is_trusted(int fd) {
    vd_peer_owner owner = vd_peer_lookup(fd, 1);
    switch (owner.result) {
    case VD_PEER_FOUND:
        return owner.uid == getuid() || owner.uid == 0;
    case VD_PEER_REMOTE:
    case VD_PEER_UNCHECKED:
        return 1;
    case VD_PEER_GONE:
        break;
    }
    return 0;
}

vandrel_status vandrel_connect(vandrel_client* client, const char* addr, int timeout_ms) {
    if (client == NULL)
        return VANDREL_ERR_ARGUMENT;
    reset(client);
    if (addr == NULL)
        addr = VANDREL_DEFAULT_BROKER_ADDR;
    char host[MAX_ADDR_LEN + 1];
    const char* port = NULL;
    if (!split_host_port(addr, host, sizeof host, &port))
        return VANDREL_ERR_ARGUMENT;

    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* found = NULL;
    int rc = getaddrinfo(host, port, &hints, &found);
    if (rc != 0)
        return vandrel_fail(client, VANDREL_ERR_CONNECT, rc == EAI_SYSTEM ? errno : 0);

    int64_t deadline = vandrel_deadline_after(timeout_ms);
    int fd = -1;
    int last_err = 0;
    for (const struct addrinfo* ai = found; ai != NULL; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) {
            last_err = errno;
            continue;
        }
        last_err = connect_one(fd, ai, deadline);
        if (last_err == 0)
            break;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    if (fd < 0)
        return vandrel_fail(client, VANDREL_ERR_CONNECT, last_err);

    if (!broker_is_trusted(fd)) {
        close(fd);
        return vandrel_fail(client, VANDREL_ERR_UNTRUSTED, 0);
    }

    /* Blocking from here on: the library waits with poll, never by spinning. */
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int err = errno;
        close(fd);
        return vandrel_fail(client, VANDREL_ERR_CONNECT, err);
    }
    /* Each command is one small frame; send it at once. */
    int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    client->read_fd = fd;
    client->write_fd = fd;
    client->write_is_socket = 1;
    client->owns_fds = 1;
    vandrel_request_error_replies(client);
    return VANDREL_OK;
}

vandrel_status vandrel_attach(vandrel_client* client, int read_fd, int write_fd,
                              int take_ownership) {
    if (client == NULL)
        return VANDREL_ERR_ARGUMENT;
    reset(client);
    if (read_fd < 0 || write_fd < 0)
        return VANDREL_ERR_ARGUMENT;
    if (fcntl(read_fd, F_GETFD) < 0 || fcntl(write_fd, F_GETFD) < 0)
        return vandrel_fail(client, VANDREL_ERR_ARGUMENT, errno);
    if (take_ownership) {
        (void)fcntl(read_fd, F_SETFD, FD_CLOEXEC);
        (void)fcntl(write_fd, F_SETFD, FD_CLOEXEC);
    }
    client->read_fd = read_fd;
    client->write_fd = write_fd;
    client->write_is_socket = vandrel_is_socket(write_fd);
    client->owns_fds = take_ownership != 0;
    vandrel_request_error_replies(client);
    return VANDREL_OK;
}

/* Moves `*fd` to a number above the standard streams, so that placing the
 * child's ends on 0 and 1 can never overwrite one with the other. */
static int lift_above_stdio(int* fd) {
    if (*fd > STDERR_FILENO)
        return 1;
    int moved = fcntl(*fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0)
        return 0;
    close(*fd);
    *fd = moved;
    return 1;
}

vandrel_status vandrel_spawn(vandrel_client* client, const char* broker_path, char* const envp[]) {
    if (client == NULL)
        return VANDREL_ERR_ARGUMENT;
    reset(client);
    if (broker_path == NULL || broker_path[0] == '\0')
        return VANDREL_ERR_ARGUMENT;

    int to_broker[2] = {-1, -1};
    int from_broker[2] = {-1, -1};
    if (pipe2(to_broker, O_CLOEXEC) != 0)
        return vandrel_fail(client, VANDREL_ERR_SPAWN, errno);
    if (pipe2(from_broker, O_CLOEXEC) != 0) {
        int err = errno;
        close(to_broker[0]);
        close(to_broker[1]);
        return vandrel_fail(client, VANDREL_ERR_SPAWN, err);
    }

    int err = 0;
    if (!lift_above_stdio(&to_broker[0]) || !lift_above_stdio(&from_broker[1]))
        err = errno;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    int have_actions = 0;
    int have_attr = 0;
    if (err == 0)
        err = posix_spawn_file_actions_init(&actions);
    if (err == 0) {
        have_actions = 1;
        /* dup2 clears close-on-exec on the copies only. */
        err = posix_spawn_file_actions_adddup2(&actions, to_broker[0], STDIN_FILENO);
    }
    if (err == 0)
        err = posix_spawn_file_actions_adddup2(&actions, from_broker[1], STDOUT_FILENO);
    if (err == 0)
        err = posix_spawnattr_init(&attr);
    if (err == 0) {
        /* The broker starts with no signal blocked, whatever this thread blocks. */
        have_attr = 1;
        sigset_t none;
        sigemptyset(&none);
        err = posix_spawnattr_setsigmask(&attr, &none);
    }
    if (err == 0)
        err = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    if (err == 0) {
        char* argv[3];
        argv[0] = (char*)broker_path;
        argv[1] = (char*)"--stdio";
        argv[2] = NULL;
        err = posix_spawnp(&pid, broker_path, &actions, &attr, argv, envp != NULL ? envp : environ);
    }
    if (have_attr)
        posix_spawnattr_destroy(&attr);
    if (have_actions)
        posix_spawn_file_actions_destroy(&actions);
    close(to_broker[0]);
    close(from_broker[1]);
    if (err != 0) {
        close(to_broker[1]);
        close(from_broker[0]);
        return vandrel_fail(client, VANDREL_ERR_SPAWN, err);
    }

    client->read_fd = from_broker[0];
    client->write_fd = to_broker[1];
    client->owns_fds = 1;
    client->broker_pid = (long)pid;
    vandrel_request_error_replies(client);
    return VANDREL_OK;
}

/* Reaps the spawned broker: waits for it until `deadline`, then kills it.
 * Returns its wait status, or 0 when it cannot be waited for (already reaped
 * by someone who ignores SIGCHLD). */
static int reap(pid_t pid, int64_t deadline) {
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0 && errno != EINTR)
            return 0;
        if (r == 0 && vandrel_now_ms() >= deadline)
            break;
        struct timespec pause = {0, REAP_POLL_MS * 1000000L};
        nanosleep(&pause, NULL);
    }
    kill(pid, SIGKILL);
    for (;;) {
        pid_t r = waitpid(pid, &status, 0);
        if (r == pid)
            return status;
        if (r < 0 && errno != EINTR)
            return 0;
    }
}

vandrel_status vandrel_close(vandrel_client* client) {
    if (client == NULL)
        return VANDREL_ERR_ARGUMENT;
    if (client->read_fd < 0 && client->write_fd < 0)
        return VANDREL_OK;
    if (client->owns_fds) {
        /* End of input is the broker's signal to end the session. */
        close_fd(client->write_fd);
        if (client->read_fd != client->write_fd)
            close_fd(client->read_fd);
    }
    vandrel_status result = VANDREL_OK;
    if (client->broker_pid > 0) {
        int status = reap((pid_t)client->broker_pid, vandrel_now_ms() + VANDREL_CLOSE_GRACE_MS);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            result = VANDREL_ERR_BROKER_FAILED;
    }
    reset(client);
    return result;
}

int vandrel_os_error(const vandrel_client* client) {
    return client == NULL ? 0 : client->os_error;
}
