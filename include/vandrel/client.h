/* The vandrel client library: obtain Steam auth tickets (game-connection,
 * session, web API and encrypted app tickets) from a vandrel broker, from C or
 * C++.
 *
 * A client talks to one broker over one link: a Unix socket or TCP
 * connection (vandrel_connect), a pair of descriptors that the caller already
 * holds (vandrel_attach), or the pipes to a private broker that the library
 * starts as `vandrel --stdio` (vandrel_spawn). The connection object is
 * opaque: each open function allocates one, and vandrel_close releases it;
 * the library keeps no global state and allocates nothing after the link is
 * open. One vandrel_client is used by one thread at a time. Each request is
 * a blocking call, or a send function and vandrel_process in the caller's
 * own loop (see Without blocking, below).
 *
 * Opening. Each open function takes the address of the caller's pointer and
 * stores a new client there, also when the open fails: the client is then
 * closed (every call on it reports VANDREL_ERR_NOT_OPEN) and keeps the
 * failure for vandrel_os_error. Either way release it with vandrel_close.
 * Only when the client cannot be allocated is the pointer set to NULL, with
 * VANDREL_ERR_NO_MEMORY. A client already stored there is not closed.
 *
 * Broker errors. Every open function first asks the broker for error
 * replies ("vd_errors on"), so that a command that fails in the broker (an
 * unknown game directory, Steam that cannot start, Steam refusing a ticket)
 * ends the waiting vandrel_request_ticket (or vandrel_request_auth_ticket) at
 * once with VANDREL_ERR_BROKER and the broker's reason in
 * vandrel_broker_error. Which error replies end a request:
 *   - the failure of a game activation ("vd_gamedir: ..." or "vd_appid: ..."),
 *     which the broker reports when it knows it: at once for Steam that
 *     cannot start, after VANDREL_BROKER_START_MS for Steam that never gets
 *     ready. It ends the requests sent after that activation (the one
 *     waiting, or the next one), even when an earlier game is still running:
 *     a ticket for it would be for the wrong game. The reply does not name
 *     the game; it is taken for the oldest activation whose outcome is not
 *     known yet, so activate one game at a time and let a request show the
 *     outcome before activating another;
 *   - the failure of this request ("vd_connect: ..." or "vd_ticket: ..."): one
 *     that carries its challenge, or one without a challenge (0, "session
 *     not active": no game was activated) when the request is the oldest
 *     the broker still owes an answer.
 * Every other error reply is discarded: the late failure of a request whose
 * caller gave up on it, and the failures of vandrel_end_ticket and
 * vandrel_cancel_ticket, which wait for nothing. A broker without error
 * replies logs "vd_errors on" as an unknown command and answers no failure;
 * against it vandrel_request_ticket waits at most the time it is given and
 * then reports VANDREL_ERR_TIMEOUT.
 *
 * Timing. vandrel_activate_gamedir returns once the command is sent; the
 * broker then starts Steam for the game, which may take up to
 * VANDREL_BROKER_START_MS, and the next ticket request is handled only after
 * that. The broker itself waits up to VANDREL_BROKER_REQUEST_MS for Steam to
 * issue a ticket. The first ticket request after an activation may therefore
 * need up to VANDREL_FIRST_TICKET_TIMEOUT_MS; later ones up to
 * VANDREL_BROKER_REQUEST_MS plus a little.
 *
 * Challenges. Every ticket reply carries the challenge of its request, and a
 * request accepts only a reply with its own challenge: a reply that arrives
 * after its caller gave up is discarded by the next request. Use a fresh
 * challenge for every request, so that a late reply can never be taken for
 * the answer to a later one.
 *
 * Every function returns a vandrel_status; VANDREL_OK is 0 and
 * vandrel_status_text names each code. Arguments are checked before anything
 * is sent: VANDREL_ERR_ARGUMENT means the broker saw nothing.
 */
#ifndef VANDREL_CLIENT_H
#define VANDREL_CLIENT_H

#include <poll.h>
#include <stddef.h>
#include <stdint.h>

/* VANDREL_VERSION_MAJOR, _MINOR, _PATCH, _STRING and vandrel_version(). */
#include <vandrel/version.h>
/* The frame, the replies, and the limits and times that the broker keeps too:
 * VANDREL_FRAME_HEADER_LEN, VANDREL_CONNECT_REPLY_HEADER_LEN,
 * VANDREL_DEFAULT_BROKER_ADDR, VANDREL_MAX_TICKET_LEN,
 * VANDREL_MAX_IDENTITY_LEN, VANDREL_BROKER_REQUEST_MS, ... */
#include <vandrel/wire.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A buffer for the broker's status text, its final NUL included, that holds
 * any. */
#define VANDREL_STATUS_TEXT_SIZE (VANDREL_MAX_FRAME_PAYLOAD - VANDREL_STATUS_REPLY_TEXT_AT + 1)
/* A safe time limit for the first ticket request after an activation. */
#define VANDREL_FIRST_TICKET_TIMEOUT_MS 30000
/* How long vandrel_close waits for a spawned broker before killing it: longer
 * than the broker may spend ending an outstanding ticket. */
#define VANDREL_CLOSE_GRACE_MS 10000
/* The size of the buffer for the broker's error text, its final NUL
 * included; a longer text is cut at a character boundary. */
#define VANDREL_BROKER_ERROR_SIZE 512

/* What a call achieved. 0 is success; every other code is a failure. */
typedef enum vandrel_status {
    VANDREL_OK = 0,
    VANDREL_ERR_ARGUMENT,         /* an argument is invalid; nothing was sent */
    VANDREL_ERR_NOT_OPEN,         /* the client is not open */
    VANDREL_ERR_CONNECT,          /* the broker's address cannot be reached */
    VANDREL_ERR_SPAWN,            /* the broker program cannot be started */
    VANDREL_ERR_IO,               /* reading or writing the link failed */
    VANDREL_ERR_CLOSED,           /* the broker closed the link */
    VANDREL_ERR_TIMEOUT,          /* no ticket within the time limit */
    VANDREL_ERR_PROTOCOL,         /* the broker sent a malformed frame or reply */
    VANDREL_ERR_TICKET_TOO_LARGE, /* the ticket does not fit the caller's buffer */
    VANDREL_ERR_BROKER_FAILED,    /* a spawned broker ended with a failure */
    VANDREL_ERR_UNTRUSTED,        /* the broker belongs to another user; nothing was sent */
    VANDREL_ERR_BROKER,           /* the broker reported an error; see vandrel_broker_error */
    VANDREL_ERR_UNCHECKED,        /* the broker's user cannot be told; nothing was sent */
    VANDREL_ERR_NO_MEMORY,        /* the client could not be allocated */
    VANDREL_ERR_BUSY              /* no room for another request; nothing was sent */
} vandrel_status;

/* One link to a broker, opaque: the open functions allocate it, and
 * vandrel_close releases it. It is open after an open function returned
 * VANDREL_OK, and closed after a failed open. */
typedef struct vandrel_client vandrel_client;

/* A ticket request for one game server. */
typedef struct vandrel_ticket_request {
    const char* server;       /* the server's address, "a.b.c.d:port" */
    uint64_t server_steam_id; /* the server's Steam ID; 0 when unknown */
    int32_t secure;           /* the server's secure flag: 0 is false */
    int32_t challenge;        /* the server's challenge; fresh per request */
} vandrel_ticket_request;

/* Where a ticket goes: the caller's buffer and what was received. */
typedef struct vandrel_ticket {
    unsigned char* data; /* the caller's buffer (NULL only with capacity 0) */
    size_t capacity;     /* its size in bytes */
    size_t len;          /* out: the ticket's length (also when too large) */
    uint64_t steam_id;   /* out: the logged-in user's Steam ID */
} vandrel_ticket;

/* The kinds of auth ticket besides the game-connection ticket. */
typedef enum vandrel_ticket_kind {
    VANDREL_TICKET_SESSION = 1, /* GetAuthSessionTicket; a game server checks it */
    VANDREL_TICKET_WEBAPI,      /* GetAuthTicketForWebApi; a web backend checks it */
    VANDREL_TICKET_APP          /* an encrypted app ticket; decrypted with the game's key */
} vandrel_ticket_kind;

/* A request for an auth ticket of one kind. */
typedef struct vandrel_auth_request {
    vandrel_ticket_kind kind;
    /* SESSION: Steam's textual identity of the ticket's recipient, e.g.
     * "steamid:76561197960287931" or "ip:1.2.3.4:27015"; WEBAPI: the identity
     * of the service, as it stands. NULL for none; else an identity that
     * vandrel_check_identity accepts. Unused for APP. */
    const char* identity;
    /* APP: the data the ticket carries, 0 to VANDREL_MAX_APP_DATA_LEN bytes
     * (NULL only with 0). Unused for the other kinds. */
    const unsigned char* data;
    size_t data_len;
    int32_t challenge; /* fresh per request, as for vandrel_request_ticket */
} vandrel_auth_request;

/* Opens a connection to the broker at `addr`: "unix:PATH" for a Unix
 * socket, or TCP at "a.b.c.d:port", "[v6addr]:port" or "host:port". With
 * `addr` NULL: $VANDREL_BROKER when it is set and not empty, else the socket
 * $XDG_RUNTIME_DIR/vandrel/socket when it exists, else
 * VANDREL_DEFAULT_BROKER_ADDR (a setuid or setgid program ignores the
 * environment and takes that). Waits at most `timeout_ms` for the connection
 * (negative: the system's own limit; a host name lookup comes on top).
 *
 * A broker on this host must run as the caller's user or as root: one of
 * another user (who may have taken the port) gives VANDREL_ERR_UNTRUSTED, and
 * the connection is closed before anything is sent. On a Unix socket the
 * kernel names the broker's user, and a broker it cannot name is untrusted.
 * Over TCP, where the kernel's socket table cannot be asked (no netlink, a
 * filter forbids it) the broker's user cannot be told, and the result is
 * VANDREL_ERR_UNCHECKED, the connection closed likewise, unless the
 * environment holds VANDREL_ALLOW_UNCHECKED_BROKER=1 (ignored in a setuid or
 * setgid program). A broker on another host is not checked. A broker on this
 * host that closed the connection before its user could be looked up (a
 * broker that cannot check its clients closes theirs at once) gives
 * VANDREL_ERR_CLOSED, as a broker that closes it later does. Like every open
 * function it then sends "vd_errors on"; if that cannot be sent, the next
 * call reports why. */
vandrel_status vandrel_connect(vandrel_client** out, const char* addr, int timeout_ms);

/* Uses descriptors the caller already holds: frames are read from `read_fd`
 * and written to `write_fd` (they may be the same socket). With
 * `take_ownership` non-zero they are made close-on-exec and vandrel_close
 * closes them; otherwise they stay the caller's. */
vandrel_status vandrel_attach(vandrel_client** out, int read_fd, int write_fd, int take_ownership);

/* Starts a private broker, `broker_path --stdio` (a name without a slash is
 * looked up in PATH), talking to it over pipes; its standard error is the
 * caller's. `envp` is its environment (NULL: the caller's). vandrel_close
 * ends and reaps it; the caller must not reap it. */
vandrel_status vandrel_spawn(vandrel_client** out, const char* broker_path, char* const envp[]);

/* Sends "vd_gamedir NAME": the broker starts Steam for the game's AppID.
 * `gamedir` is 1 to VANDREL_MAX_GAMEDIR_LEN printable ASCII characters
 * without white space. The broker answers only a failure, which the next
 * ticket request reports; see Timing and Broker errors above. */
vandrel_status vandrel_activate_gamedir(vandrel_client* client, const char* gamedir);

/* Sends "vd_appid APPID" (1 to 4294967295): the broker starts Steam for any
 * game, exactly as for vandrel_activate_gamedir. */
vandrel_status vandrel_activate_appid(vandrel_client* client, uint32_t appid);

/* Sends "vd_connect" for `request` and waits up to `timeout_ms` (negative:
 * without limit) for the reply with the request's challenge, discarding
 * replies to earlier requests. On VANDREL_OK the ticket's `len` bytes are in
 * `ticket->data` and `ticket->steam_id` is set. A ticket longer than
 * `ticket->capacity` gives VANDREL_ERR_TICKET_TOO_LARGE with `len` set and
 * nothing copied. VANDREL_ERR_BROKER: the broker reported that the game's
 * activation or this request failed; vandrel_broker_error says why.
 * VANDREL_ERR_TIMEOUT: the broker is still starting Steam, or (from a broker
 * without error replies) the request failed there. */
vandrel_status vandrel_request_ticket(vandrel_client* client, const vandrel_ticket_request* request,
                                      int timeout_ms, vandrel_ticket* ticket);

/* Sends "vd_ticket KIND ARG CHALLENGE" for `request` and waits like
 * vandrel_request_ticket for the reply with the request's challenge. On
 * VANDREL_OK the ticket is in `ticket` (at most VANDREL_MAX_AUTH_TICKET_LEN
 * bytes) and `*handle` (if not NULL) is its handle, which
 * vandrel_cancel_ticket ends; 0 for an app ticket, which has none. The broker
 * waits up to VANDREL_BROKER_CONFIRM_MS for Steam's confirmation; Steam's
 * refusal ends the request with VANDREL_ERR_BROKER, "vd_ticket: steam refused
 * to issue auth ticket, result N". */
vandrel_status vandrel_request_auth_ticket(vandrel_client* client,
                                           const vandrel_auth_request* request, int timeout_ms,
                                           vandrel_ticket* ticket, uint32_t* handle);

/* Sends "vd_status CHALLENGE" and waits like vandrel_request_ticket for the
 * reply with its challenge. On VANDREL_OK `text` (`capacity` at least
 * VANDREL_STATUS_TEXT_SIZE) holds the broker's status, NUL-terminated: UTF-8
 * lines "key value", each ending in a line feed, in this order: version, uid,
 * appid (or "none"), and while a Steam child is ready steamid, logged_on
 * ("yes" or "no"), runtime (the path of the libsteam_api.so it loaded) and
 * runtime_kind ("steam", or "standin" for vandrel's stand-in). A broker
 * older than this library fails it with VANDREL_ERR_BROKER, "vd_status:
 * unknown command". */
vandrel_status vandrel_request_broker_status(vandrel_client* client, int32_t challenge,
                                             int timeout_ms, char* text, size_t capacity);

/* Sends "vd_cancel HANDLE": the broker ends a session or web API ticket. It
 * answers nothing; the broker also cancels every ticket still held when the
 * link closes. */
vandrel_status vandrel_cancel_ticket(vandrel_client* client, uint32_t handle);

/* Sends "vd_disconnect SERVER CHALLENGE": the broker tells Steam that the
 * connection to the server with the last ticket's challenge has ended. */
vandrel_status vandrel_end_ticket(vandrel_client* client, const char* server, int32_t challenge);

/* Sends "vd_terminate": the broker ends the outstanding ticket and stops
 * (a TCP broker stops serving everyone). */
vandrel_status vandrel_terminate(vandrel_client* client);

/* Closes the link and releases the client; the broker ends the outstanding
 * ticket by itself. Commands still queued by a send function are written
 * first, for half a second at most; requests in flight end unseen, and their
 * buffers are not written any more. What the broker still sends is read and
 * dropped, for half a second at most, so that the broker sees an orderly end
 * and not a reset. A spawned broker is given VANDREL_CLOSE_GRACE_MS to exit, then
 * killed, and is always reaped; VANDREL_ERR_BROKER_FAILED if it did not exit
 * with status 0. `client` must not be used afterwards. Closing NULL does
 * nothing and returns VANDREL_OK. */
vandrel_status vandrel_close(vandrel_client* client);

/* VANDREL_OK when `gamedir` is a name vandrel_activate_gamedir sends. */
vandrel_status vandrel_check_gamedir(const char* gamedir);

/* VANDREL_OK when `server` is an address the ticket commands send: four
 * dotted decimal octets without leading zeros, ':' and a port of 0 to 65535. */
vandrel_status vandrel_check_server(const char* server);

/* VANDREL_OK when `identity` is one that vandrel_request_auth_ticket sends:
 * 1 to VANDREL_MAX_IDENTITY_LEN bytes of UTF-8 without a space or a control
 * character (C0 with NUL, DEL, C1), and not "-", which stands for none on
 * the wire (pass NULL for none). The broker hands such an identity to Steam
 * byte for byte, and refuses every other. */
vandrel_status vandrel_check_identity(const char* identity);

/* The errno of the client's last failed system call, or 0. */
int vandrel_os_error(const vandrel_client* client);

/* The address vandrel_connect connected to, or tried when it failed: the one
 * it was given, or the one it chose for NULL from the default order. "" for
 * a client of vandrel_attach or vandrel_spawn, and for NULL. Never NULL; it
 * lives as long as the client. */
const char* vandrel_broker_address(const vandrel_client* client);

/* The broker's text for the last VANDREL_ERR_BROKER: the failed command's
 * word, ": " and the reason, e.g. "vd_gamedir: steam child failed to
 * initialise"; "" when the last request did not end so. The last request is
 * the one a blocking call returned, or vandrel_process handed out. Never
 * NULL; it is kept in the client until its next request, open or close. */
const char* vandrel_broker_error(const vandrel_client* client);

/* A fixed, one-line English text for `status`; never NULL. */
const char* vandrel_status_text(vandrel_status status);

/* --- Without blocking ------------------------------------------------------
 *
 * The same requests from the caller's own loop (a game's frame loop, an
 * event loop): a send function queues a request and returns at once, and
 * vandrel_process hands out, without blocking, each request that has ended.
 * Between them the caller polls the descriptors vandrel_poll_fds names for
 * at most vandrel_get_timeout milliseconds, or just calls vandrel_process
 * once a frame:
 *
 *     vandrel_send_ticket_request(c, &request, VANDREL_FIRST_TICKET_TIMEOUT_MS,
 *                                 &ticket, &id);
 *     for (;;) {   (each frame)
 *         struct pollfd fds[VANDREL_POLL_FDS];
 *         poll(fds, vandrel_poll_fds(c, fds), frame_ms);
 *         while ((s = vandrel_process(c, &done)) == VANDREL_OK && done.id != 0)
 *             ... the request done.id ended with done.status ...
 *         if (s != VANDREL_OK)
 *             ... the link failed: close the client ...
 *     }
 *
 * Up to VANDREL_MAX_PENDING requests are in flight at once, each with its
 * own identifier, deadline and buffers. A reply ends the request it answers,
 * matched by its kind and challenge as for the blocking calls, whatever the
 * order replies come in; error replies end requests as under Broker errors
 * above, where a game activation's failure ends every request sent after
 * that activation (and when none waits, the next one sent, unless another
 * activation comes first). A request whose deadline passes ends with
 * VANDREL_ERR_TIMEOUT, and its reply is discarded when it comes.
 *
 * The buffers given with a request (the ticket and its data, the handle, the
 * status text) are written when its reply is read, within vandrel_process
 * or a blocking call on the same client: they must stay valid until
 * vandrel_process has handed the request out, or the client is closed. The
 * library still allocates nothing after the link is open.
 *
 * The blocking calls send and then wait for their own request on the same
 * machinery, so the two kinds mix on one client: while a blocking call
 * waits, the requests sent before it go on, and those that end are left for
 * vandrel_process. A blocking call is one of the VANDREL_MAX_PENDING.
 *
 * A send function fails only when it queued nothing: VANDREL_ERR_ARGUMENT,
 * VANDREL_ERR_NOT_OPEN, VANDREL_ERR_BUSY, or the failure of a link that has
 * failed before; every later outcome of a request, a failure to write it
 * included, is the one vandrel_process hands out. */

/* The most requests (those with a reply) in flight on one client. */
#define VANDREL_MAX_PENDING 16
/* The most descriptors vandrel_poll_fds fills in. */
#define VANDREL_POLL_FDS 2

/* A request's identifier, from its send function: never 0, and no other
 * request of the client has it while it is in flight. */
typedef uint32_t vandrel_request_id;

/* A request that ended, as vandrel_process hands it out. */
typedef struct vandrel_completion {
    vandrel_request_id id; /* the request; 0 when none has ended */
    vandrel_status status; /* what its blocking call would have returned */
} vandrel_completion;

/* Fills `fds` (room for VANDREL_POLL_FDS) with what to poll and returns how
 * many it filled: first the descriptor replies arrive on, for POLLIN (and
 * POLLOUT while a command is still being written, when commands are written
 * to it too); then, only while a command is still being written to a
 * descriptor of its own (vandrel_spawn, vandrel_attach with two), that one
 * for POLLOUT. Each `revents` is 0. Returns 0 for NULL, a closed client or a
 * link that has failed, which has nothing more to wait for. */
size_t vandrel_poll_fds(const vandrel_client* client, struct pollfd* fds);

/* How long the caller's poll may wait, in milliseconds: 0 when
 * vandrel_process has something to hand out (or a link failure to report),
 * the time until the earliest deadline of a request in flight (0 once it has
 * passed), or -1 when no request has a deadline, and for NULL or a closed
 * client. */
int vandrel_get_timeout(const vandrel_client* client);

/* Never blocks: writes what the link takes of the commands still queued,
 * reads every reply that has arrived and ends the request it answers, ends
 * the requests whose deadline has passed, and hands out the request that
 * ended first: its identifier and status in `*done`, and from then on its
 * text in vandrel_broker_error and its errno in vandrel_os_error. The
 * request is then no longer in flight. `done->id` is 0 when no request has
 * ended; call it until then. Returns VANDREL_OK while the link works (also
 * when it hands out a request that failed). Once the link fails
 * (VANDREL_ERR_CLOSED, VANDREL_ERR_IO, VANDREL_ERR_PROTOCOL), every request
 * in flight ends with that failure, and once all are handed out the failure
 * is returned, by every later call too: close the client. */
vandrel_status vandrel_process(vandrel_client* client, vandrel_completion* done);

/* Queues "vd_gamedir NAME" (the checks of vandrel_activate_gamedir) and
 * writes what the link takes at once. The broker answers only a failure,
 * which the requests sent after it end with. VANDREL_ERR_BUSY: commands
 * queued earlier have not been written yet and fill the queue. */
vandrel_status vandrel_send_activate_gamedir(vandrel_client* client, const char* gamedir);

/* Queues "vd_appid APPID" like vandrel_send_activate_gamedir. */
vandrel_status vandrel_send_activate_appid(vandrel_client* client, uint32_t appid);

/* Queues "vd_connect" for `request` (the checks of vandrel_request_ticket),
 * writes what the link takes at once and stores the request's identifier in
 * `*id` (when not NULL). The request ends with what vandrel_request_ticket
 * would return, its ticket in `ticket`, `timeout_ms` from now at the latest
 * (negative: without limit). VANDREL_ERR_BUSY: VANDREL_MAX_PENDING requests
 * are in flight, or the queue is full. */
vandrel_status vandrel_send_ticket_request(vandrel_client* client,
                                           const vandrel_ticket_request* request, int timeout_ms,
                                           vandrel_ticket* ticket, vandrel_request_id* id);

/* Queues "vd_ticket" for `request` like vandrel_send_ticket_request; the
 * request ends with what vandrel_request_auth_ticket would return, its
 * ticket in `ticket` and its handle in `*handle` (when not NULL). */
vandrel_status vandrel_send_auth_ticket_request(vandrel_client* client,
                                                const vandrel_auth_request* request, int timeout_ms,
                                                vandrel_ticket* ticket, uint32_t* handle,
                                                vandrel_request_id* id);

/* Queues "vd_status CHALLENGE" like vandrel_send_ticket_request; the request
 * ends with what vandrel_request_broker_status would return, its text in
 * `text` (`capacity` at least VANDREL_STATUS_TEXT_SIZE; "" until then). */
vandrel_status vandrel_send_status_request(vandrel_client* client, int32_t challenge,
                                           int timeout_ms, char* text, size_t capacity,
                                           vandrel_request_id* id);

/* Queues "vd_cancel HANDLE" like vandrel_send_activate_gamedir. */
vandrel_status vandrel_send_cancel_ticket(vandrel_client* client, uint32_t handle);

/* Queues "vd_disconnect SERVER CHALLENGE" like vandrel_send_activate_gamedir
 * (the checks of vandrel_end_ticket). */
vandrel_status vandrel_send_end_ticket(vandrel_client* client, const char* server,
                                       int32_t challenge);

#ifdef __cplusplus
}
#endif

#endif
