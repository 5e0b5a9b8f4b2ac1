/* Which local user owns the other end of a connection: for TCP from the
 * kernel's socket table, for a Unix socket from the kernel's own record of the
 * process that connected (SO_PEERCRED). Written in C99 so that the broker's
 * accept loop and the C client library share one implementation. */
#ifndef VANDREL_PEER_H
#define VANDREL_PEER_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum vd_peer_result {
    /* The other end is a socket of this host; `uid` owns it. */
    VD_PEER_FOUND,
    /* The other end is on another host: no local user owns it. */
    VD_PEER_REMOTE,
    /* The other end has a local address but no socket in the table (it went
     * away, or it is not a socket a user owns): nobody can vouch for it. */
    VD_PEER_GONE,
    /* As VD_PEER_GONE, and the other end has ended the connection: this end
     * received the end of its stream or its reset before the lookup. It owns
     * nothing here any more; nothing can be sent to it either. */
    VD_PEER_CLOSED,
    /* The other end has a local address and the table cannot be asked (no
     * netlink, a filter forbids it); `err` holds the errno of the step that
     * failed. */
    VD_PEER_UNCHECKED
} vd_peer_result;

typedef struct vd_peer_owner {
    vd_peer_result result;
    uid_t uid; /* with VD_PEER_FOUND */
    int err;   /* with VD_PEER_UNCHECKED */
} vd_peer_owner;

/* Looks up the socket at the other end of the connected TCP socket `fd`.
 * With `accept_listener` set, a listening socket bound to the other end's
 * address counts as its owner: a client whose connection is still in the
 * broker's accept queue sees the broker's listener there. IPv4 peers of a
 * dual-stack socket are looked up as IPv4. Never blocks for long: the
 * kernel answers a lookup at once. */
vd_peer_owner vd_peer_lookup(int fd, int accept_listener);

/* Whether the kernel's socket table can tell who owns a connection here:
 * asks it for the listening TCP socket `fd` itself. Returns 0 when the table
 * lists it, the errno of the step that failed, or -1 when the table answers
 * without listing it. */
int vd_peer_check_listener(int fd);

/* The process at the other end of a connected Unix socket, as the kernel
 * recorded it when the connection was made. */
typedef struct vd_peer_cred {
    pid_t pid;
    uid_t uid;
} vd_peer_cred;

/* Fills `out` for the connected Unix socket `fd`. Returns 0, or the errno of
 * the failure; on failure `out` is untouched and nobody can vouch for the
 * other end. */
int vd_peer_credentials(int fd, vd_peer_cred* out);

#ifdef __cplusplus
}
#endif

#endif
