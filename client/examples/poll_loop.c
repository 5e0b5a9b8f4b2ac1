/* A game's frame loop that asks the broker for a ticket without ever waiting
 * for it: each frame polls the client's descriptors for at most a frame's
 * time, lets the library take what has arrived, and draws. Build it with
 * `cc poll_loop.c $(pkg-config --cflags --libs vandrel)`; it finds the broker
 * as vandrel_connect does ($VANDREL_BROKER, the user's socket, 127.0.0.1). */
#include <inttypes.h>
#include <poll.h>
#include <stdio.h>
#include <vandrel/client.h>

#define FRAME_MS 16 /* about 60 frames a second */

/* The game's own work: input, the world, drawing. Here it only counts. */
static void draw_frame(long* frames) {
    ++*frames;
}

int main(void) {
    vandrel_client* c = NULL;
    vandrel_status s = vandrel_connect(&c, NULL, 2000);
    if (s != VANDREL_OK) {
        fprintf(stderr, "cannot reach the broker: %s\n", vandrel_status_text(s));
        vandrel_close(c);
        return 1;
    }

    unsigned char buf[VANDREL_MAX_TICKET_LEN]; /* the library writes here */
    vandrel_ticket ticket = {buf, sizeof buf, 0, 0};
    vandrel_ticket_request join = {"10.0.0.5:27015", 90071992547409920ULL, 1, 77};
    vandrel_request_id id = 0;
    s = vandrel_send_activate_gamedir(c, "cstrike");
    if (s == VANDREL_OK)
        s = vandrel_send_ticket_request(c, &join, VANDREL_FIRST_TICKET_TIMEOUT_MS, &ticket, &id);

    long frames = 0;
    vandrel_status outcome = s;
    int waiting = s == VANDREL_OK;
    while (waiting) {
        struct pollfd fds[VANDREL_POLL_FDS];
        size_t n = vandrel_poll_fds(c, fds);
        int timeout = vandrel_get_timeout(c);
        if (timeout < 0 || timeout > FRAME_MS)
            timeout = FRAME_MS;
        (void)poll(fds, (nfds_t)n, timeout);

        vandrel_completion done;
        while ((s = vandrel_process(c, &done)) == VANDREL_OK && done.id != 0) {
            if (done.id == id) {
                outcome = done.status;
                waiting = 0;
            }
        }
        if (s != VANDREL_OK) { /* the link failed */
            outcome = s;
            waiting = 0;
        }
        draw_frame(&frames);
    }

    if (outcome == VANDREL_OK) {
        printf("ticket: %zu bytes for steamid %" PRIu64 "\n", ticket.len, ticket.steam_id);
        /* ... send it to the server; on leaving the server: */
        (void)vandrel_send_end_ticket(c, join.server, join.challenge);
    } else if (outcome == VANDREL_ERR_BROKER) {
        printf("no ticket: %s\n", vandrel_broker_error(c));
    } else {
        printf("no ticket: %s\n", vandrel_status_text(outcome));
    }
    printf("frames drawn meanwhile: %ld\n", frames);
    vandrel_close(c); /* writes what is still queued */
    return outcome == VANDREL_OK ? 0 : 1;
}
