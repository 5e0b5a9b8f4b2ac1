/* The client commands, each in two ways: a blocking call, which returns once
 * its command is written (and its reply read, for a request), and a send
 * function, which queues the command and writes what the link takes at
 * once. Arguments are checked before anything is queued; the reply reader
 * (requests.c) matches the replies to the requests they answer. */
#include "check.h"
#include "common/grammar.h"
#include "loop.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

/* The client's times rest on the broker's (vandrel/wire.h): the first ticket
 * after an activation may wait for Steam's start and then for its ticket, and
 * a spawned broker may spend a whole request ending an outstanding ticket
 * before it exits. */
typedef char vdc_first_ticket_outlasts_a_start
    [VANDREL_FIRST_TICKET_TIMEOUT_MS >= VANDREL_BROKER_START_MS + VANDREL_BROKER_REQUEST_MS ? 1
                                                                                            : -1];
typedef char
    vdc_close_grace_outlasts_a_request[VANDREL_CLOSE_GRACE_MS > VANDREL_BROKER_REQUEST_MS ? 1 : -1];

/* The auth ticket kinds as the broker names them, by vandrel_ticket_kind. */
static const char* const KIND_WORDS[] = {"", VANDREL_KIND_SESSION, VANDREL_KIND_WEBAPI,
                                         VANDREL_KIND_APP};
static const char NO_ARGUMENT[] = VANDREL_NO_ARGUMENT;

/* How a command goes out: the blocking calls wait until the link has taken
 * it; the send functions queue it and write what the link takes now. */
enum sending { BLOCKING, QUEUED };

/* Queues one command line that `snprintf` has put into `line`: a blocking
 * call waits for room, a send function reports VANDREL_ERR_BUSY. A link
 * that has failed reports its failure. */
static vandrel_status queue_line(vandrel_client* client, const char* line, int len,
                                 enum sending how, int64_t deadline) {
    if (len < 0 || len > VANDREL_MAX_FRAME_PAYLOAD)
        return vdc_fail(client, VANDREL_ERR_ARGUMENT, 0);
    if (client->failed != VANDREL_OK)
        return client->failed;
    if (vdc_queue_frame(client, line, (size_t)len))
        return VANDREL_OK;
    if (how == QUEUED)
        return VANDREL_ERR_BUSY;
    vandrel_status flushed = vdc_flush(client, deadline);
    if (flushed == VANDREL_ERR_TIMEOUT)
        return vdc_fail(client, VANDREL_ERR_TIMEOUT, 0);
    if (flushed != VANDREL_OK)
        return vdc_break(client, flushed);
    (void)vdc_queue_frame(client, line, (size_t)len); /* the queue is empty now */
    return VANDREL_OK;
}

/* Writes what is queued: all of it for a blocking call, what the link takes
 * now for a send function. */
static vandrel_status write_queue(vandrel_client* client, enum sending how) {
    vandrel_status status =
        how == BLOCKING ? vdc_flush(client, VDC_NO_DEADLINE) : vdc_write_some(client);
    return status == VANDREL_OK ? status : vdc_break(client, status);
}

/* Sends a command that waits for nothing, its line formatted like printf,
 * once its arguments are `valid`: VANDREL_ERR_ARGUMENT for a NULL client or
 * invalid arguments (which are then not formatted), VANDREL_ERR_NOT_OPEN for
 * a closed client. */
__attribute__((format(printf, 4, 5))) static vandrel_status
send_command(vandrel_client* client, enum sending how, int valid, const char* format, ...) {
    if (client == NULL || !valid)
        return VANDREL_ERR_ARGUMENT;
    if (!vdc_is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    va_list args;
    va_start(args, format);
    int len = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    vandrel_status queued = queue_line(client, line, len, how, VDC_NO_DEADLINE);
    return queued != VANDREL_OK ? queued : write_queue(client, how);
}

/* Sends an activation; the requests sent after it wait on its outcome. */
static vandrel_status send_gamedir(vandrel_client* client, enum sending how, const char* gamedir) {
    vandrel_status status =
        send_command(client, how, vdc_is_gamedir(gamedir), VANDREL_CMD_GAMEDIR " %s", gamedir);
    if (status == VANDREL_OK)
        vdc_activation_sent(&client->requests);
    return status;
}

static vandrel_status send_appid(vandrel_client* client, enum sending how, uint32_t appid) {
    vandrel_status status =
        send_command(client, how, appid != 0, VANDREL_CMD_APPID " %" PRIu32, appid);
    if (status == VANDREL_OK)
        vdc_activation_sent(&client->requests);
    return status;
}

/* A request whose arguments are checked: its command line, and what its
 * reply fills in. */
struct request {
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    int len;
    enum vdc_form form;
    int32_t challenge;
    struct vdc_sink sink;
};

/* Starts `r`: queues its line and enters it among the requests in flight,
 * waiting until `timeout_ms` from now. VANDREL_ERR_BUSY when
 * VANDREL_MAX_PENDING requests are in flight (or, for a send function, the
 * queue is full); nothing is sent then. */
static vandrel_status start(vandrel_client* client, const struct request* r, int timeout_ms,
                            enum sending how, struct vdc_request** started) {
    if (client->failed == VANDREL_OK && !vdc_make_room(&client->requests))
        return VANDREL_ERR_BUSY;
    int64_t deadline = vdc_deadline_after(timeout_ms);
    vandrel_status queued = queue_line(client, r->line, r->len, how, deadline);
    if (queued != VANDREL_OK)
        return queued;
    *started = vdc_start_request(&client->requests, r->form, r->challenge, deadline, &r->sink);
    /* A blocking call writes while it waits; a send function writes now. */
    if (how == QUEUED)
        (void)write_queue(client, how); /* a failure ends the request */
    return VANDREL_OK;
}

/* Sends `r` and waits up to `timeout_ms` for its reply. */
static vandrel_status request_blocking(vandrel_client* client, const struct request* r,
                                       int timeout_ms) {
    client->broker_error[0] = '\0';
    struct vdc_request* started = NULL;
    vandrel_status status = start(client, r, timeout_ms, BLOCKING, &started);
    return status != VANDREL_OK ? status : vdc_await(client, started);
}

/* Queues `r` and stores its identifier in `*id` (when not NULL). */
static vandrel_status request_queued(vandrel_client* client, const struct request* r,
                                     int timeout_ms, vandrel_request_id* id) {
    struct vdc_request* started = NULL;
    vandrel_status status = start(client, r, timeout_ms, QUEUED, &started);
    if (status == VANDREL_OK && id != NULL)
        *id = started->id;
    return status;
}

/* Checks a ticket request and writes its line. */
static vandrel_status ticket_request(vandrel_client* client, const vandrel_ticket_request* request,
                                     vandrel_ticket* ticket, struct request* r) {
    if (client == NULL || request == NULL || ticket == NULL)
        return VANDREL_ERR_ARGUMENT;
    if (!vdc_is_server_address(request->server) || (ticket->data == NULL && ticket->capacity > 0))
        return VANDREL_ERR_ARGUMENT;
    if (!vdc_is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    r->len = snprintf(r->line, sizeof r->line,
                      VANDREL_CMD_CONNECT " %s %" PRIu64 " %" PRId32 " %" PRId32, request->server,
                      request->server_steam_id, request->secure, request->challenge);
    r->form = VDC_CONNECT_FORM;
    r->challenge = request->challenge;
    r->sink.ticket = ticket;
    r->sink.handle = NULL;
    r->sink.text = NULL;
    return VANDREL_OK;
}

/* Writes the argument of an auth ticket request into `out` (room for
 * 2 * VANDREL_MAX_APP_DATA_LEN + 1 bytes): the identity, the data in hex, or
 * "-" for none. False when the request is malformed. */
static int auth_argument(const vandrel_auth_request* request, char* out) {
    switch (request->kind) {
    case VANDREL_TICKET_SESSION:
    case VANDREL_TICKET_WEBAPI:
        if (request->identity == NULL) {
            strcpy(out, NO_ARGUMENT);
            return 1;
        }
        if (!vdc_is_identity(request->identity))
            return 0;
        strcpy(out, request->identity);
        return 1;
    case VANDREL_TICKET_APP:
        if (request->data_len > VANDREL_MAX_APP_DATA_LEN ||
            (request->data == NULL && request->data_len > 0))
            return 0;
        if (request->data_len == 0) {
            strcpy(out, NO_ARGUMENT);
            return 1;
        }
        vd_hex_encode(request->data, request->data_len, out);
        return 1;
    }
    return 0;
}

/* Checks an auth ticket request and writes its line. */
static vandrel_status auth_request(vandrel_client* client, const vandrel_auth_request* request,
                                   vandrel_ticket* ticket, uint32_t* handle, struct request* r) {
    char argument[2 * VANDREL_MAX_APP_DATA_LEN + 1];
    if (client == NULL || request == NULL || ticket == NULL)
        return VANDREL_ERR_ARGUMENT;
    if (!auth_argument(request, argument) || (ticket->data == NULL && ticket->capacity > 0))
        return VANDREL_ERR_ARGUMENT;
    if (!vdc_is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    r->len = snprintf(r->line, sizeof r->line, VANDREL_CMD_TICKET " %s %s %" PRId32,
                      KIND_WORDS[request->kind], argument, request->challenge);
    r->form = VDC_AUTH_TICKET_FORM;
    r->challenge = request->challenge;
    r->sink.ticket = ticket;
    r->sink.handle = handle; /* written when the ticket comes */
    r->sink.text = NULL;
    return VANDREL_OK;
}

/* Checks a status request and writes its line; the text is empty until the
 * reply comes. */
static vandrel_status status_request(vandrel_client* client, int32_t challenge, char* text,
                                     size_t capacity, struct request* r) {
    if (client == NULL || text == NULL || capacity < VANDREL_STATUS_TEXT_SIZE)
        return VANDREL_ERR_ARGUMENT;
    if (!vdc_is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    text[0] = '\0';
    r->len = snprintf(r->line, sizeof r->line, VANDREL_CMD_STATUS " %" PRId32, challenge);
    r->form = VDC_STATUS_FORM;
    r->challenge = challenge;
    r->sink.ticket = NULL;
    r->sink.handle = NULL;
    r->sink.text = text;
    return VANDREL_OK;
}

vandrel_status vandrel_activate_gamedir(vandrel_client* client, const char* gamedir) {
    return send_gamedir(client, BLOCKING, gamedir);
}

vandrel_status vandrel_activate_appid(vandrel_client* client, uint32_t appid) {
    return send_appid(client, BLOCKING, appid);
}

vandrel_status vandrel_request_ticket(vandrel_client* client, const vandrel_ticket_request* request,
                                      int timeout_ms, vandrel_ticket* ticket) {
    struct request r;
    vandrel_status status = ticket_request(client, request, ticket, &r);
    return status != VANDREL_OK ? status : request_blocking(client, &r, timeout_ms);
}

vandrel_status vandrel_request_auth_ticket(vandrel_client* client,
                                           const vandrel_auth_request* request, int timeout_ms,
                                           vandrel_ticket* ticket, uint32_t* handle) {
    struct request r;
    vandrel_status status = auth_request(client, request, ticket, handle, &r);
    return status != VANDREL_OK ? status : request_blocking(client, &r, timeout_ms);
}

vandrel_status vandrel_request_broker_status(vandrel_client* client, int32_t challenge,
                                             int timeout_ms, char* text, size_t capacity) {
    struct request r;
    vandrel_status status = status_request(client, challenge, text, capacity, &r);
    return status != VANDREL_OK ? status : request_blocking(client, &r, timeout_ms);
}

vandrel_status vandrel_cancel_ticket(vandrel_client* client, uint32_t handle) {
    return send_command(client, BLOCKING, 1, VANDREL_CMD_CANCEL " %" PRIu32, handle);
}

vandrel_status vandrel_end_ticket(vandrel_client* client, const char* server, int32_t challenge) {
    return send_command(client, BLOCKING, vdc_is_server_address(server),
                        VANDREL_CMD_DISCONNECT " %s %" PRId32, server, challenge);
}

vandrel_status vandrel_terminate(vandrel_client* client) {
    return send_command(client, BLOCKING, 1, "%s", VANDREL_CMD_TERMINATE);
}

vandrel_status vandrel_send_activate_gamedir(vandrel_client* client, const char* gamedir) {
    return send_gamedir(client, QUEUED, gamedir);
}

vandrel_status vandrel_send_activate_appid(vandrel_client* client, uint32_t appid) {
    return send_appid(client, QUEUED, appid);
}

vandrel_status vandrel_send_ticket_request(vandrel_client* client,
                                           const vandrel_ticket_request* request, int timeout_ms,
                                           vandrel_ticket* ticket, vandrel_request_id* id) {
    struct request r;
    vandrel_status status = ticket_request(client, request, ticket, &r);
    return status != VANDREL_OK ? status : request_queued(client, &r, timeout_ms, id);
}

vandrel_status vandrel_send_auth_ticket_request(vandrel_client* client,
                                                const vandrel_auth_request* request, int timeout_ms,
                                                vandrel_ticket* ticket, uint32_t* handle,
                                                vandrel_request_id* id) {
    struct request r;
    vandrel_status status = auth_request(client, request, ticket, handle, &r);
    return status != VANDREL_OK ? status : request_queued(client, &r, timeout_ms, id);
}

vandrel_status vandrel_send_status_request(vandrel_client* client, int32_t challenge,
                                           int timeout_ms, char* text, size_t capacity,
                                           vandrel_request_id* id) {
    struct request r;
    vandrel_status status = status_request(client, challenge, text, capacity, &r);
    return status != VANDREL_OK ? status : request_queued(client, &r, timeout_ms, id);
}

vandrel_status vandrel_send_cancel_ticket(vandrel_client* client, uint32_t handle) {
    return send_command(client, QUEUED, 1, VANDREL_CMD_CANCEL " %" PRIu32, handle);
}

vandrel_status vandrel_send_end_ticket(vandrel_client* client, const char* server,
                                       int32_t challenge) {
    return send_command(client, QUEUED, vdc_is_server_address(server),
                        VANDREL_CMD_DISCONNECT " %s %" PRId32, server, challenge);
}

const char* vandrel_broker_error(const vandrel_client* client) {
    return client == NULL ? "" : client->broker_error;
}
