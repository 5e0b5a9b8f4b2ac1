/* The client's I/O loop: one round of I/O without blocking, which both
 * vandrel_process and the blocking calls' waits are made of. Private to the
 * client library. */
#ifndef VANDREL_CLIENT_LOOP_H
#define VANDREL_CLIENT_LOOP_H

#include "link.h"

/* True while the client has a link (not closed, not failed to open). */
int vdc_is_open(const vandrel_client* client);

/* Marks the link failed for good with `status` (its errno already
 * recorded): nothing more is written, and every waiting request ends so.
 * Returns `status`. */
vandrel_status vdc_break(vandrel_client* client, vandrel_status status);

/* One round without blocking: writes what the link takes, reads and matches
 * the replies that have arrived, and ends the requests whose deadline has
 * passed. */
void vdc_pump(vandrel_client* client);

/* Hands an ended request over: its broker text and errno become the
 * client's. Returns its status. */
vandrel_status vdc_take(vandrel_client* client, struct vdc_request* request);

/* Waits, doing the link's I/O, until `request` has ended, and hands it
 * over: its status. */
vandrel_status vdc_await(vandrel_client* client, struct vdc_request* request);

#endif
