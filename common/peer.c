/* The kernel's socket table (NETLINK_SOCK_DIAG) asked for one exact TCP
 * connection, as `ss` does. An unprivileged process may ask it, and the
 * owner's uid comes back mapped into the asker's user namespace. A Unix
 * socket's peer is simpler: the kernel recorded it at connect time. */
#include "common/peer.h"

#include <errno.h>
#include <ifaddrs.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

/* TCP states and timers as the socket table reports them. */
enum {
    STATE_SYN_RECV = 3,
    STATE_TIME_WAIT = 6,
    STATE_CLOSE_WAIT = 8,
    STATE_LISTEN = 10,
    STATE_NEW_SYN_RECV = 12,
    TIMER_TIME_WAIT = 3
};

/* A half-open request entry: the listener's end of a connection whose last
 * handshake packet it has not taken yet, or does not take yet (a listener
 * that defers accepting until data comes). The table reports it in state
 * SYN_RECV, not in the kernel's own NEW_SYN_RECV, which is also checked. */
static int is_half_open(const struct inet_diag_msg* entry) {
    return entry->idiag_state == STATE_SYN_RECV || entry->idiag_state == STATE_NEW_SYN_RECV;
}

/* Only full sockets carry their owner. A time-wait entry (reported with the
 * state it closed in, but always with its own timer) and a half-open request
 * entry report uid 0, which must never pass for root. */
static int has_owner(const struct inet_diag_msg* entry) {
    return entry->idiag_state != STATE_TIME_WAIT && !is_half_open(entry) &&
           entry->idiag_timer != TIMER_TIME_WAIT;
}

/* How long a lookup waits for the kernel's answer, which normally comes at
 * once, and how often a client retries while the broker's end of a new
 * connection is still a half-open request entry. */
enum { ANSWER_TIMEOUT_MS = 1000, HALF_OPEN_RETRIES = 50, HALF_OPEN_RETRY_US = 1000 };

/* One end of a connection in the form the table keys on. */
typedef struct endpoint {
    int family;             /* AF_INET or AF_INET6 */
    unsigned char addr[16]; /* the first 4 bytes for AF_INET */
    uint16_t port;          /* network byte order */
    uint32_t scope;         /* interface of a link-local IPv6 address */
} endpoint;

static const unsigned char V4_MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

/* An IPv6 address that carries IPv4 (a dual-stack socket's IPv4 peer) is the
 * IPv4 address: that is how the other end's own socket is keyed. */
static void set_address(endpoint* e, int family, const void* addr) {
    memset(e->addr, 0, sizeof e->addr);
    if (family == AF_INET6 && memcmp(addr, V4_MAPPED_PREFIX, sizeof V4_MAPPED_PREFIX) == 0) {
        e->family = AF_INET;
        memcpy(e->addr, (const unsigned char*)addr + sizeof V4_MAPPED_PREFIX, 4);
        return;
    }
    e->family = family;
    memcpy(e->addr, addr, family == AF_INET ? 4 : 16);
}

static int endpoint_of(const struct sockaddr_storage* ss, endpoint* out) {
    memset(out, 0, sizeof *out);
    if (ss->ss_family == AF_INET) {
        const struct sockaddr_in* v4 = (const struct sockaddr_in*)ss;
        set_address(out, AF_INET, &v4->sin_addr);
        out->port = v4->sin_port;
        return 0;
    }
    if (ss->ss_family == AF_INET6) {
        const struct sockaddr_in6* v6 = (const struct sockaddr_in6*)ss;
        set_address(out, AF_INET6, &v6->sin6_addr);
        out->port = v6->sin6_port;
        out->scope = v6->sin6_scope_id;
        return 0;
    }
    return -1;
}

static int same_address(const endpoint* a, const endpoint* b) {
    return a->family == b->family && memcmp(a->addr, b->addr, sizeof a->addr) == 0;
}

static int is_wildcard(const endpoint* e) {
    static const unsigned char zero[16];
    return memcmp(e->addr, zero, sizeof zero) == 0;
}

static int is_loopback(const endpoint* e) {
    static const unsigned char v6_loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (e->family == AF_INET)
        return e->addr[0] == 127;
    return memcmp(e->addr, v6_loopback, sizeof v6_loopback) == 0;
}

/* Whether a socket can be bound to the address, which the kernel allows only
 * for an address of this host. Listing the interfaces needs netlink; this
 * does not, so it still tells another host's peer apart where the socket
 * table cannot be asked either. Any failure but "not available" counts the
 * address as this host's. */
static int can_bind(const endpoint* e) {
    struct sockaddr_storage ss;
    socklen_t len;
    int err = 0;
    int fd = socket(e->family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 1;
    memset(&ss, 0, sizeof ss);
    if (e->family == AF_INET) {
        struct sockaddr_in* v4 = (struct sockaddr_in*)&ss;
        v4->sin_family = AF_INET;
        memcpy(&v4->sin_addr, e->addr, 4);
        len = sizeof *v4;
    } else {
        struct sockaddr_in6* v6 = (struct sockaddr_in6*)&ss;
        v6->sin6_family = AF_INET6;
        memcpy(&v6->sin6_addr, e->addr, 16);
        v6->sin6_scope_id = e->scope;
        len = sizeof *v6;
    }
    if (bind(fd, (const struct sockaddr*)&ss, len) != 0)
        err = errno;
    close(fd);
    return err != EADDRNOTAVAIL;
}

/* Whether the address is one of this host's: a loopback address or one that
 * an interface holds. A host whose interfaces cannot be listed asks the
 * kernel by binding; where that cannot tell either, every address counts as
 * its own, so that a vanished local peer is never served. */
static int is_local(const endpoint* e) {
    struct ifaddrs* all = NULL;
    const struct ifaddrs* i;
    int found = 0;
    if (is_loopback(e))
        return 1;
    if (getifaddrs(&all) != 0)
        return can_bind(e);
    for (i = all; i != NULL && !found; i = i->ifa_next) {
        endpoint held;
        if (i->ifa_addr == NULL)
            continue;
        if (i->ifa_addr->sa_family == AF_INET)
            set_address(&held, AF_INET, &((const struct sockaddr_in*)i->ifa_addr)->sin_addr);
        else if (i->ifa_addr->sa_family == AF_INET6)
            set_address(&held, AF_INET6, &((const struct sockaddr_in6*)i->ifa_addr)->sin6_addr);
        else
            continue;
        found = same_address(&held, e);
    }
    freeifaddrs(all);
    return found;
}

static void put_address(__be32 out[4], const endpoint* e) {
    memcpy(out, e->addr, e->family == AF_INET ? 4 : 16);
}

/* The table's entry for the socket whose own end is `local` and whose other
 * end is `remote`. Returns 0 with the entry, ENOENT when there is none, or
 * the errno of the step that failed. */
static int ask_table(const endpoint* local, const endpoint* remote, struct inet_diag_msg* entry) {
    struct {
        struct nlmsghdr header;
        struct inet_diag_req_v2 request;
    } message;
    struct sockaddr_nl kernel;
    struct timeval limit = {ANSWER_TIMEOUT_MS / 1000, (ANSWER_TIMEOUT_MS % 1000) * 1000};
    long buffer[8192 / sizeof(long)]; /* aligned for nlmsghdr */
    int result = EPROTO;
    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0)
        return errno;

    memset(&message, 0, sizeof message);
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST; /* one exact socket, no dump */
    message.header.nlmsg_seq = 1;
    message.request.sdiag_family = (unsigned char)local->family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = local->port;
    message.request.id.idiag_dport = remote->port;
    put_address(message.request.id.idiag_src, local);
    put_address(message.request.id.idiag_dst, remote);
    message.request.id.idiag_if = local->scope;
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;

    if (setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        sendto(nl, &message, sizeof message, 0, (const struct sockaddr*)&kernel, sizeof kernel) <
            0) {
        result = errno;
    } else {
        ssize_t got;
        do
            got = recv(nl, buffer, sizeof buffer, 0);
        while (got < 0 && errno == EINTR);
        if (got < 0) {
            result = errno;
        } else {
            const struct nlmsghdr* h = (const struct nlmsghdr*)buffer;
            size_t left = (size_t)got;
            for (; NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
                if (h->nlmsg_type == NLMSG_ERROR &&
                    h->nlmsg_len >= NLMSG_LENGTH(sizeof(struct nlmsgerr))) {
                    const struct nlmsgerr* e = (const struct nlmsgerr*)NLMSG_DATA(h);
                    result = e->error < 0 ? -e->error : EPROTO;
                    break;
                }
                if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                    h->nlmsg_len >= NLMSG_LENGTH(sizeof *entry)) {
                    memcpy(entry, NLMSG_DATA(h), sizeof *entry);
                    result = 0;
                    break;
                }
            }
        }
    }
    close(nl);
    return result;
}

/* The entry must be the socket asked for: the table falls back to a listener
 * when no connection matches, and a listener owns the connection only for
 * a caller that accepts it. */
static int entry_matches(const struct inet_diag_msg* entry, const endpoint* local,
                         const endpoint* remote, int accept_listener) {
    endpoint src;
    endpoint dst;
    set_address(&src, entry->idiag_family, entry->id.idiag_src);
    set_address(&dst, entry->idiag_family, entry->id.idiag_dst);
    if (entry->id.idiag_sport != local->port)
        return 0;
    if (entry->idiag_state == STATE_LISTEN)
        return accept_listener && (same_address(&src, local) || is_wildcard(&src));
    return same_address(&src, local) && same_address(&dst, remote) &&
           entry->id.idiag_dport == remote->port;
}

static vd_peer_owner unchecked(int err) {
    vd_peer_owner out = {VD_PEER_UNCHECKED, 0, err};
    return out;
}

static void pause_briefly(void) {
    struct timespec pause = {0, HALF_OPEN_RETRY_US * 1000L};
    nanosleep(&pause, NULL);
}

/* This end of the connected or listening socket `fd` as the table keys it.
 * Returns 0, or the errno of the step that failed. */
static int own_end(int fd, endpoint* out) {
    struct sockaddr_storage addr;
    socklen_t len = sizeof addr;
    if (getsockname(fd, (struct sockaddr*)&addr, &len) != 0)
        return errno;
    return endpoint_of(&addr, out) == 0 ? 0 : EAFNOSUPPORT;
}

/* Whether `fd` still has another end: a reset connection has none. */
static int still_connected(int fd) {
    struct sockaddr_storage addr;
    socklen_t len = sizeof addr;
    return getpeername(fd, (struct sockaddr*)&addr, &len) == 0;
}

vd_peer_owner vd_peer_lookup(int fd, int accept_listener) {
    vd_peer_owner out = {VD_PEER_GONE, 0, 0};
    struct sockaddr_storage other_addr;
    socklen_t other_len = sizeof other_addr;
    endpoint self;
    endpoint other;
    struct inet_diag_msg entry;
    int tries;
    int err = own_end(fd, &self);

    if (err != 0)
        return unchecked(err);
    if (getpeername(fd, (struct sockaddr*)&other_addr, &other_len) != 0) {
        out.result = VD_PEER_CLOSED; /* ENOTCONN: reset before the lookup */
        out.err = errno;
        return out;
    }
    if (endpoint_of(&other_addr, &other) != 0)
        return unchecked(EAFNOSUPPORT);
    /* The other end's socket shares our interface scope. */
    other.scope = self.scope;

    for (tries = 0; tries <= HALF_OPEN_RETRIES; ++tries) {
        err = ask_table(&other, &self, &entry);
        if (err == ENOENT)
            break;
        if (err != 0 && !is_local(&other)) {
            out.result = VD_PEER_REMOTE; /* nobody here can own it */
            return out;
        }
        if (err != 0)
            return unchecked(err);
        if (!entry_matches(&entry, &other, &self, accept_listener))
            break;
        if (has_owner(&entry)) {
            out.result = VD_PEER_FOUND;
            out.uid = entry.idiag_uid;
            return out;
        }
        /* A time-wait entry is an end that has closed; only the broker's end
         * of a new connection, still a half-open request, may get an owner. */
        if (!accept_listener || !is_half_open(&entry))
            break;
        pause_briefly();
    }

    /* Nobody owns the other end: another host, or a local peer that has
     * gone. Or the table cannot find TCP sockets at all: then it cannot find
     * our own end either, while that end is still connected. Our own end
     * tells whether the other one closed the connection: it received the
     * end of the stream (close wait), or a reset took it out of the table. */
    if (!is_local(&other)) {
        out.result = VD_PEER_REMOTE;
        return out;
    }
    err = ask_table(&self, &other, &entry);
    if (err == ENOENT && !still_connected(fd)) {
        out.result = VD_PEER_CLOSED;
        return out;
    }
    if (err != 0)
        return unchecked(err);
    if (entry.idiag_state == STATE_CLOSE_WAIT)
        out.result = VD_PEER_CLOSED;
    return out;
}

int vd_peer_check_listener(int fd) {
    endpoint self;
    endpoint anyone;
    struct inet_diag_msg entry;
    int err = own_end(fd, &self);
    if (err != 0)
        return err;
    /* No connection has an other end of port 0: the table gives the
     * listener. */
    memset(&anyone, 0, sizeof anyone);
    anyone.family = self.family;
    err = ask_table(&self, &anyone, &entry);
    if (err != 0)
        return err;
    return entry_matches(&entry, &self, &anyone, 1) && entry.idiag_state == STATE_LISTEN ? 0 : -1;
}

int vd_peer_credentials(int fd, vd_peer_cred* out) {
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return errno;
    /* A process in another pid namespace shows as pid 0; its uid still
     * counts. */
    if (len != sizeof cred)
        return EPROTO;
    out->pid = cred.pid;
    out->uid = cred.uid;
    return 0;
}
