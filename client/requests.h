/* The requests a client has in flight, and the reply reader that ends them:
 * each reply or error reply from the broker is matched to the request it
 * answers, apart from any I/O. Private to the client library: everything
 * here carries the library's internal prefix. */
#ifndef VANDREL_CLIENT_REQUESTS_H
#define VANDREL_CLIENT_REQUESTS_H

#include "vandrel/client.h"

#include <stddef.h>
#include <stdint.h>

/* A point on the monotonic clock in milliseconds; VDC_NO_DEADLINE waits
 * without limit. */
#define VDC_NO_DEADLINE INT64_C(-1)

/* The replies that answer a request, one per line of VANDREL_REPLY_FORMS. */
#define VDC_FORM_NAME(name, word, steam_id_at, handle_at, len_at, header_len) VDC_##name##_FORM,
enum vdc_form { VANDREL_REPLY_FORMS(VDC_FORM_NAME) VDC_FORM_COUNT };
#undef VDC_FORM_NAME

/* Where a request is: a free slot, waiting for its answer, ended and not yet
 * handed to its caller, or handed over while the broker still owes its
 * answer (which is then discarded when it comes). */
enum vdc_phase { VDC_FREE, VDC_WAITING, VDC_ENDED, VDC_HANDED };

/* Where a reply's contents go: the caller's ticket (and handle), or its
 * status text (room for VANDREL_STATUS_TEXT_SIZE). */
struct vdc_sink {
    vandrel_ticket* ticket;
    uint32_t* handle;
    char* text;
};

/* One request, from its sending until it is handed over and answered. */
struct vdc_request {
    enum vdc_phase phase;
    int owed; /* the broker has not answered it yet */
    vandrel_request_id id;
    enum vdc_form form;
    int32_t challenge;
    int64_t deadline;
    uint64_t sent;       /* its place in the order of sending */
    uint64_t activation; /* how many activations were sent before it */
    uint64_t ended;      /* its place in the order of ending */
    struct vdc_sink sink;
    vandrel_status status;                        /* once ended */
    int os_error;                                 /* once ended by a failed system call */
    char broker_error[VANDREL_BROKER_ERROR_SIZE]; /* once ended by an error reply */
};

/* Every request of one client, and what the reader knows of the order in
 * which the broker answers them. */
struct vdc_requests {
    struct vdc_request slot[VANDREL_MAX_PENDING];
    vandrel_request_id last_id;
    uint64_t sent;
    uint64_t ended;
    uint64_t activations;  /* activations sent */
    uint64_t settled;      /* activations whose outcome is known */
    size_t forgotten;      /* answers owed to requests dropped to make room */
    int activation_failed; /* the latest activation failed and ended no request */
    char activation_error[VANDREL_BROKER_ERROR_SIZE];
};

/* Counts an activation that was sent: the requests sent after it wait on its
 * outcome, and an earlier activation's failure no longer ends any. */
void vdc_activation_sent(struct vdc_requests* table);

/* True when a request can be started: a slot is free, or one holds only an
 * answer still owed to a request already handed over, which is then
 * dropped. */
int vdc_make_room(struct vdc_requests* table);

/* Starts a request whose command is queued: waiting for a reply of `form`
 * with `challenge` until `deadline`, its contents going to `sink`. It ends
 * at once when the latest activation's failure has ended no request yet.
 * NULL when vdc_make_room found no room. */
struct vdc_request* vdc_start_request(struct vdc_requests* table, enum vdc_form form,
                                      int32_t challenge, int64_t deadline,
                                      const struct vdc_sink* sink);

/* Reads one reply (a frame's payload): ends the request it answers, copying
 * a ticket or text into the request's sink, or discards it when nobody
 * waits for it. */
void vdc_read_reply(struct vdc_requests* table, const unsigned char* reply, size_t len);

/* Ends with VANDREL_ERR_TIMEOUT every waiting request whose deadline is at
 * or before `now`. */
void vdc_expire(struct vdc_requests* table, int64_t now);

/* Ends every waiting request with `status` and `os_error`: the link failed,
 * and nothing more will be answered. */
void vdc_end_all(struct vdc_requests* table, vandrel_status status, int os_error);

/* The request that ended first among those not yet handed over, or NULL. */
struct vdc_request* vdc_first_ended(struct vdc_requests* table);

/* True when a request has ended and is not yet handed over. */
int vdc_any_ended(const struct vdc_requests* table);

/* Marks an ended request as handed over; its slot is free once nothing is
 * owed to it. */
void vdc_hand_over(struct vdc_request* request);

/* The earliest deadline of a waiting request, or VDC_NO_DEADLINE. */
int64_t vdc_next_deadline(const struct vdc_requests* table);

#endif
