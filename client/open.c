/* Opening and closing a client's link: TCP, descriptors the caller holds, or
 * a private broker on pipes. Every descriptor the library creates is
 * close-on-exec, so no other program the caller starts inherits the link. */
#include "check.h"
#include "common/address.h"
#include "common/peer.h"
#include "loop.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

/* How often vandrel_close looks whether a spawned broker has exited. */
#define REAP_POLL_MS 10
/* How long vandrel_close writes what is still queued, and then how long it
 * reads what the broker still sends, before closing. */
#define CLOSE_DRAIN_MS 500
/* The size of the buffer that takes those bytes. */
#define DRAIN_CHUNK 512

/* A closed client: no link, no broker, no error. */
static void reset(vandrel_client* client) {
    memset(client, 0, sizeof *client);
    client->read_fd = -1;
    client->write_fd = -1;
    client->broker_pid = -1;
}

/* Allocates a closed client and stores it in `*out`; NULL (also stored) when
 * there is no memory. */
static vandrel_client* new_client(vandrel_client** out) {
    vandrel_client* client = malloc(sizeof *client);
    if (client != NULL)
        reset(client);
    *out = client;
    return client;
}

static void close_fd(int fd) {
    if (fd >= 0)
        close(fd);
}

/* Makes `client` an open link over `read_fd` and `write_fd` and asks the
 * broker for error replies. A failure to ask is left to the next call, which
 * reports how the link failed. */
static vandrel_status open_link(vandrel_client* client, int read_fd, int write_fd, int owns_fds) {
    static const char errors_on[] = VANDREL_CMD_ERRORS " " VANDREL_ERRORS_ON;
    client->read_fd = read_fd;
    client->write_fd = write_fd;
    client->write_is_socket = vdc_is_socket(write_fd);
    client->owns_fds = owns_fds;
    (void)vdc_queue_frame(client, errors_on, sizeof errors_on - 1);
    vandrel_status sent = vdc_flush(client, VDC_NO_DEADLINE);
    if (sent != VANDREL_OK)
        vdc_break(client, sent);
    return VANDREL_OK;
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
        int rc = poll(&p, 1, vdc_poll_timeout(deadline));
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

/* The environment variable by which a process that knowingly runs without the
 * kernel's socket table accepts a local broker whose user cannot be told. */
#define ALLOW_UNCHECKED_VARIABLE "VANDREL_ALLOW_UNCHECKED_BROKER"

/* Whether the caller opted in with ALLOW_UNCHECKED_VARIABLE=1. A setuid or
 * setgid program ignores it: its invoker must not loosen its checks. */
static int unchecked_allowed(void) {
    const char* value = secure_getenv(ALLOW_UNCHECKED_VARIABLE);
    return value != NULL && strcmp(value, "1") == 0;
}

/* Whether the broker at the other end of `fd` may see this user's requests:
 * VANDREL_OK when its socket belongs to this user or to root, or it runs on
 * another host. A broker that closed the connection before its owner could be
 * looked up is a closed link (a broker that cannot check its peers closes
 * local connections at once), not another user's. A local end whose owner is
 * gone otherwise is not trusted, nor one whose owner cannot be told unless the
 * caller opted in. */
static vandrel_status broker_trust(int fd) {
    vd_peer_owner owner = vd_peer_lookup(fd, 1);
    switch (owner.result) {
    case VD_PEER_FOUND:
        return owner.uid == getuid() || owner.uid == 0 ? VANDREL_OK : VANDREL_ERR_UNTRUSTED;
    case VD_PEER_REMOTE:
        return VANDREL_OK;
    case VD_PEER_UNCHECKED:
        return unchecked_allowed() ? VANDREL_OK : VANDREL_ERR_UNCHECKED;
    case VD_PEER_CLOSED:
        return VANDREL_ERR_CLOSED;
    case VD_PEER_GONE:
        break;
    }
    return VANDREL_ERR_UNTRUSTED;
}

/* Whether a broker on a Unix socket may see this user's requests: the kernel
 * recorded which user made its socket. Without that record nobody can vouch
 * for it, and it is not trusted. */
static vandrel_status unix_broker_trust(int fd) {
    vd_peer_cred cred;
    if (vd_peer_credentials(fd, &cred) != 0)
        return VANDREL_ERR_UNTRUSTED;
    return cred.uid == getuid() || cred.uid == 0 ? VANDREL_OK : VANDREL_ERR_UNTRUSTED;
}

/* Room for "unix:" and the longest path a Unix socket address holds. */
#define UNIX_ADDR_SIZE (VD_UNIX_ADDR_PREFIX_LEN + sizeof(((struct sockaddr_un*)0)->sun_path))
/* How long a connect waits before it tries again while the broker's queue
 * of new connections is full. */
#define QUEUE_FULL_RETRY_MS 10

/* True for a path that a Unix socket address holds. */
static int is_socket_path(const char* path) {
    size_t len = strnlen(path, UNIX_ADDR_SIZE);
    return len > 0 && len < UNIX_ADDR_SIZE - VD_UNIX_ADDR_PREFIX_LEN;
}

/* Connects to the Unix socket at `path` (is_socket_path) before `deadline`. Returns the
 * connected, non-blocking socket, or -1 with `*err` set. */
static int connect_unix(const char* path, int64_t deadline, int* err) {
    struct sockaddr_un addr;
    size_t len = strlen(path);
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, len + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    for (;;) {
        if (connect(fd, (const struct sockaddr*)&addr, sizeof addr) == 0)
            return fd;
        *err = errno;
        if (*err == EINTR)
            continue;
        if (*err != EAGAIN)
            break;
        if (vdc_poll_timeout(deadline) == 0) {
            *err = ETIMEDOUT;
            break;
        }
        vdc_pause_ms(QUEUE_FULL_RETRY_MS);
    }
    close(fd);
    return -1;
}

/* Connects to the first address in `list` that accepts before `deadline`.
 * Returns the connected, non-blocking socket, or -1 with `*err` set. */
static int connect_first(const struct addrinfo* list, int64_t deadline, int* err) {
    *err = 0;
    for (const struct addrinfo* ai = list; ai != NULL; ai = ai->ai_next) {
        int fd =
            socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) {
            *err = errno;
            continue;
        }
        *err = connect_one(fd, ai, deadline);
        if (*err == 0)
            return fd;
        close(fd);
    }
    return -1;
}

/* Connects to a TCP `addr` before `deadline`: the connected, non-blocking
 * socket, or -1 after recording the failure in `client` as `*status`. */
static int connect_tcp(vandrel_client* client, const char* addr, int64_t deadline,
                       vandrel_status* status) {
    char host[VDC_MAX_ADDR_LEN + 1];
    const char* port = NULL;
    if (!vdc_split_host_port(addr, host, sizeof host, &port)) {
        *status = VANDREL_ERR_ARGUMENT;
        return -1;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* found = NULL;
    int rc = getaddrinfo(host, port, &hints, &found);
    if (rc != 0) {
        *status = vdc_fail(client, VANDREL_ERR_CONNECT, rc == EAI_SYSTEM ? errno : 0);
        return -1;
    }
    int err = 0;
    int fd = connect_first(found, deadline, &err);
    freeaddrinfo(found);
    if (fd < 0)
        *status = vdc_fail(client, VANDREL_ERR_CONNECT, err);
    return fd;
}

vandrel_status vandrel_connect(vandrel_client** out, const char* addr, int timeout_ms) {
    if (out == NULL)
        return VANDREL_ERR_ARGUMENT;
    vandrel_client* client = new_client(out);
    if (client == NULL)
        return VANDREL_ERR_NO_MEMORY;
    char runtime_addr[UNIX_ADDR_SIZE];
    if (addr == NULL)
        addr = vd_default_broker_address(runtime_addr, sizeof runtime_addr);
    /* An address too long to keep is refused below. */
    snprintf(client->address, sizeof client->address, "%s", addr);
    const char* unix_path = vd_unix_path(addr, strnlen(addr, VD_UNIX_ADDR_PREFIX_LEN));
    const int is_unix = unix_path != NULL;
    const int64_t deadline = vdc_deadline_after(timeout_ms);
    vandrel_status status = VANDREL_OK;
    int err = 0;
    int fd = -1;
    if (is_unix) {
        if (!is_socket_path(unix_path))
            return VANDREL_ERR_ARGUMENT;
        fd = connect_unix(unix_path, deadline, &err);
        if (fd < 0)
            return vdc_fail(client, VANDREL_ERR_CONNECT, err);
    } else {
        fd = connect_tcp(client, addr, deadline, &status);
        if (fd < 0)
            return status;
    }

    vandrel_status trust = is_unix ? unix_broker_trust(fd) : broker_trust(fd);
    if (trust != VANDREL_OK) {
        close(fd);
        return vdc_fail(client, trust, 0);
    }
    /* Blocking from here on: the library waits with poll, never by spinning. */
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        err = errno;
        close(fd);
        return vdc_fail(client, VANDREL_ERR_CONNECT, err);
    }
    /* Each command is one small frame; send it at once. */
    int one = 1;
    if (!is_unix)
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return open_link(client, fd, fd, 1);
}

vandrel_status vandrel_attach(vandrel_client** out, int read_fd, int write_fd, int take_ownership) {
    if (out == NULL)
        return VANDREL_ERR_ARGUMENT;
    vandrel_client* client = new_client(out);
    if (client == NULL)
        return VANDREL_ERR_NO_MEMORY;
    if (read_fd < 0 || write_fd < 0)
        return VANDREL_ERR_ARGUMENT;
    if (fcntl(read_fd, F_GETFD) < 0 || fcntl(write_fd, F_GETFD) < 0)
        return vdc_fail(client, VANDREL_ERR_ARGUMENT, errno);
    if (take_ownership) {
        (void)fcntl(read_fd, F_SETFD, FD_CLOEXEC);
        (void)fcntl(write_fd, F_SETFD, FD_CLOEXEC);
    }
    return open_link(client, read_fd, write_fd, take_ownership != 0);
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

/* Fills in how the broker starts: `in` and `out` as its standard input and
 * output (dup2 clears close-on-exec on the copies only), and no signal
 * blocked, whatever this thread blocks. Returns 0 or an error number. */
static int describe_broker(posix_spawn_file_actions_t* actions, posix_spawnattr_t* attr, int in,
                           int out) {
    int err = posix_spawn_file_actions_adddup2(actions, in, STDIN_FILENO);
    if (err != 0)
        return err;
    err = posix_spawn_file_actions_adddup2(actions, out, STDOUT_FILENO);
    if (err != 0)
        return err;
    sigset_t none;
    sigemptyset(&none);
    err = posix_spawnattr_setsigmask(attr, &none);
    if (err != 0)
        return err;
    return posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK);
}

/* Starts `path --stdio` reading `in` and writing `out`. Returns 0 with `*pid`
 * set, or an error number. */
static int start_broker(pid_t* pid, const char* path, int in, int out, char* const envp[]) {
    posix_spawn_file_actions_t actions;
    int err = posix_spawn_file_actions_init(&actions);
    if (err != 0)
        return err;
    posix_spawnattr_t attr;
    err = posix_spawnattr_init(&attr);
    if (err == 0) {
        err = describe_broker(&actions, &attr, in, out);
        if (err == 0) {
            char* argv[] = {(char*)path, (char*)"--stdio", NULL};
            err = posix_spawnp(pid, path, &actions, &attr, argv, envp != NULL ? envp : environ);
        }
        posix_spawnattr_destroy(&attr);
    }
    posix_spawn_file_actions_destroy(&actions);
    return err;
}

vandrel_status vandrel_spawn(vandrel_client** out, const char* broker_path, char* const envp[]) {
    if (out == NULL)
        return VANDREL_ERR_ARGUMENT;
    vandrel_client* client = new_client(out);
    if (client == NULL)
        return VANDREL_ERR_NO_MEMORY;
    if (broker_path == NULL || broker_path[0] == '\0')
        return VANDREL_ERR_ARGUMENT;

    /* The broker reads to_broker[0] and writes from_broker[1]; this process
     * keeps the other two ends. */
    int to_broker[2] = {-1, -1};
    int from_broker[2] = {-1, -1};
    pid_t pid = -1;
    int err = 0;
    if (pipe2(to_broker, O_CLOEXEC) != 0 || pipe2(from_broker, O_CLOEXEC) != 0 ||
        !lift_above_stdio(&to_broker[0]) || !lift_above_stdio(&from_broker[1]))
        err = errno;
    else
        err = start_broker(&pid, broker_path, to_broker[0], from_broker[1], envp);
    close_fd(to_broker[0]);
    close_fd(from_broker[1]);
    if (err != 0) {
        close_fd(to_broker[1]);
        close_fd(from_broker[0]);
        return vdc_fail(client, VANDREL_ERR_SPAWN, err);
    }
    client->broker_pid = (long)pid;
    return open_link(client, from_broker[0], to_broker[1], 1);
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
        if (r == 0 && vdc_now_ms() >= deadline)
            break;
        vdc_pause_ms(REAP_POLL_MS);
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

/* Reads and drops what arrives on `fd` until end of input, an error or
 * `deadline`. */
static void drain(int fd, int64_t deadline) {
    unsigned char sink[DRAIN_CHUNK];
    for (;;) {
        struct pollfd p;
        p.fd = fd;
        p.events = POLLIN;
        p.revents = 0;
        int rc = poll(&p, 1, vdc_poll_timeout(deadline));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return;
        ssize_t n = read(fd, sink, sizeof sink);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
    }
}

/* Ends the link in order. End of input is the broker's signal to end the
 * session; the replies it has sent meanwhile (error replies to commands that
 * nobody waits for any more) are read and dropped until it closes its side,
 * for a short while at most. A socket closed with unread bytes in it resets
 * the connection, and the broker would log a reset instead of the client's
 * orderly end. */
static void close_link(vandrel_client* client) {
    if (client->read_fd == client->write_fd) {
        if (!client->write_is_socket || shutdown(client->write_fd, SHUT_WR) != 0) {
            close_fd(client->write_fd);
            return;
        }
    } else {
        close_fd(client->write_fd);
    }
    drain(client->read_fd, vdc_now_ms() + CLOSE_DRAIN_MS);
    close_fd(client->read_fd);
}

vandrel_status vandrel_close(vandrel_client* client) {
    if (client == NULL)
        return VANDREL_OK;
    /* Commands still queued (a send function's) go out first. */
    if (vdc_is_open(client) && client->failed == VANDREL_OK)
        (void)vdc_flush(client, vdc_now_ms() + CLOSE_DRAIN_MS);
    if (client->owns_fds && client->read_fd >= 0)
        close_link(client);
    vandrel_status result = VANDREL_OK;
    if (client->broker_pid > 0) {
        int status = reap((pid_t)client->broker_pid, vdc_now_ms() + VANDREL_CLOSE_GRACE_MS);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            result = VANDREL_ERR_BROKER_FAILED;
    }
    free(client);
    return result;
}

int vandrel_os_error(const vandrel_client* client) {
    return client == NULL ? 0 : client->os_error;
}

const char* vandrel_broker_address(const vandrel_client* client) {
    return client == NULL ? "" : client->address;
}
