/* `vandrel-ticket --check`: every link from this user to a ticket, checked
 * one step at a time, each failure with a hint of its fix. */
#ifndef VANDREL_TICKET_CHAIN_CHECK_H
#define VANDREL_TICKET_CHAIN_CHECK_H

#include <stdint.h>

/* The exit status of a run in which a step failed. */
#define CHAIN_EXIT_FAILED 9
/* The AppID checked when none is given: Spacewar, Steam's example game,
 * which every Steam account may run. */
#define CHAIN_DEFAULT_APPID 480
/* The hint when a broker closed the link to its socket: the likely reason,
 * which the broker's log confirms. */
#define CLOSED_LINK_HINT                                                                           \
    "a broker that cannot tell which user a client runs as closes every local connection (its "    \
    "log says so in a WARNING line when it starts); connect to its Unix socket, or start it with " \
    "--allow-unchecked-peers"

struct chain_options {
    const char* broker; /* the broker's address; NULL: the library's default */
    const char* spawn;  /* a private broker's program instead, or NULL */
    uint32_t appid;
    int timeout_ms;    /* how long each request may take */
    int json;          /* one JSON object instead of lines */
    int32_t challenge; /* the first request's challenge; the next ones follow */
};

/* Runs the checks and prints them; 0 when every step passed,
 * CHAIN_EXIT_FAILED when one failed, 1 when standard output failed. */
int chain_check(const struct chain_options* options);

#endif
