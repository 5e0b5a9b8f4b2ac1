/* The I/O loop, and the calls that let a caller's own loop drive it. */
#include "loop.h"

#include <string.h>

/* The most replies one round reads, so that a broker that keeps sending
 * cannot hold the caller's loop; what is left stays readable for the next
 * round. */
#define REPLIES_PER_ROUND 64

int vdc_is_open(const vandrel_client* client) {
    return client->read_fd >= 0 && client->write_fd >= 0;
}

vandrel_status vdc_break(vandrel_client* client, vandrel_status status) {
    client->failed = status;
    client->tx_at = 0;
    client->tx_len = 0;
    vdc_end_all(&client->requests, status, client->os_error);
    return status;
}

/* Reads and matches the replies that have arrived: VANDREL_OK, or how the
 * link failed. */
static vandrel_status read_replies(vandrel_client* client) {
    for (int i = 0; i < REPLIES_PER_ROUND; ++i) {
        size_t len = 0;
        vandrel_status status = vdc_read_frame(client, &len);
        if (status == VANDREL_ERR_TIMEOUT)
            return VANDREL_OK; /* nothing more has arrived */
        if (status != VANDREL_OK)
            return status;
        vdc_read_reply(&client->requests, client->rx + VANDREL_FRAME_HEADER_LEN, len);
        vdc_consume_frame(client);
    }
    return VANDREL_OK;
}

void vdc_pump(vandrel_client* client) {
    if (client->failed == VANDREL_OK) {
        vandrel_status status = vdc_write_some(client);
        if (status == VANDREL_OK)
            status = read_replies(client);
        if (status != VANDREL_OK)
            vdc_break(client, status);
    }
    /* After reading: a reply that is there wins over its deadline. */
    vdc_expire(&client->requests, vdc_now_ms());
}

vandrel_status vdc_take(vandrel_client* client, struct vdc_request* request) {
    vandrel_status status = request->status;
    memcpy(client->broker_error, request->broker_error, sizeof client->broker_error);
    if (status != VANDREL_OK && status != VANDREL_ERR_BROKER &&
        status != VANDREL_ERR_TICKET_TOO_LARGE)
        client->os_error = request->os_error;
    vdc_hand_over(request);
    return status;
}

vandrel_status vdc_await(vandrel_client* client, struct vdc_request* request) {
    for (;;) {
        vdc_pump(client);
        if (request->phase == VDC_ENDED)
            return vdc_take(client, request);
        vandrel_status waited = vdc_wait(client, request->deadline);
        if (waited != VANDREL_OK)
            vdc_break(client, waited);
    }
}

size_t vandrel_poll_fds(const vandrel_client* client, struct pollfd* fds) {
    if (client == NULL || fds == NULL)
        return 0;
    return vdc_poll_fds(client, fds);
}

int vandrel_get_timeout(const vandrel_client* client) {
    if (client == NULL || !vdc_is_open(client))
        return -1;
    if (client->failed != VANDREL_OK || vdc_any_ended(&client->requests))
        return 0;
    return vdc_poll_timeout(vdc_next_deadline(&client->requests));
}

vandrel_status vandrel_process(vandrel_client* client, vandrel_completion* done) {
    if (client == NULL || done == NULL)
        return VANDREL_ERR_ARGUMENT;
    done->id = 0;
    done->status = VANDREL_OK;
    if (!vdc_is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    struct vdc_request* request = vdc_first_ended(&client->requests);
    if (request == NULL) {
        vdc_pump(client);
        request = vdc_first_ended(&client->requests);
    }
    if (request == NULL)
        return client->failed;
    done->id = request->id;
    done->status = vdc_take(client, request);
    return VANDREL_OK;
}
