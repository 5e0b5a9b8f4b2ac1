/* The client commands: their arguments are checked before anything is sent,
 * and the replies (a ticket, or the broker's error) are matched to the request
 * they answer. */
#include "check.h"
#include "link.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

/* The replies' layouts are in vandrel/wire.h. */
#define SEPARATOR_LEN (sizeof VANDREL_ERROR_REPLY_SEPARATOR - 1)

/* UTF-8 continuation bytes are 10xxxxxx. */
#define UTF8_CONTINUATION_MASK 0xC0
#define UTF8_CONTINUATION 0x80

static uint32_t read_le32(const unsigned char* p) {
    return (uint32_t)vandrel_load_le(p, sizeof(uint32_t));
}

static int is_open(const vandrel_client* client) {
    return client->read_fd >= 0 && client->write_fd >= 0;
}

/* Sends one command line that `snprintf` has put into `line`. */
static vandrel_status send_line(vandrel_client* client, const char* line, int len,
                                int64_t deadline) {
    if (len < 0 || len > VANDREL_MAX_FRAME_PAYLOAD)
        return vdc_fail(client, VANDREL_ERR_ARGUMENT, 0);
    return vdc_send_frame(client, line, (size_t)len, deadline);
}

vandrel_status vandrel_activate_gamedir(vandrel_client* client, const char* gamedir) {
    if (client == NULL || !vdc_is_gamedir(gamedir))
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    int len = snprintf(line, sizeof line, VANDREL_CMD_GAMEDIR " %s", gamedir);
    return send_line(client, line, len, VDC_NO_DEADLINE);
}

/* True when `reply` has the ticket reply's form: the prefix, the fixed
 * fields, and at least as many ticket bytes as it announces. */
static int is_ticket_reply(const unsigned char* reply, size_t len) {
    return len >= VANDREL_TICKET_REPLY_HEADER_LEN &&
           memcmp(reply, VANDREL_TICKET_REPLY_WORD, VANDREL_TICKET_REPLY_WORD_LEN) == 0 &&
           read_le32(reply + VANDREL_TICKET_REPLY_TICKET_LEN_AT) <=
               len - VANDREL_TICKET_REPLY_HEADER_LEN;
}

/* True when a well-formed `reply` answers the request with `challenge`.
 * Compared as unsigned: converting a negative challenge is exact. */
static int answers(const unsigned char* reply, int32_t challenge) {
    return read_le32(reply + VANDREL_TICKET_REPLY_CHALLENGE_AT) == (uint32_t)challenge;
}

/* True when `reply` is an error reply with its fixed fields. */
static int is_error_reply(const unsigned char* reply, size_t len) {
    return len >= VANDREL_ERROR_REPLY_TEXT_AT &&
           memcmp(reply, VANDREL_ERROR_REPLY_WORD, VANDREL_ERROR_REPLY_WORD_LEN) == 0;
}

/* True when an error reply reports a failure of the command `word`. */
static int is_failure_of(const unsigned char* reply, size_t len, const char* word) {
    size_t n = strlen(word);
    const unsigned char* text = reply + VANDREL_ERROR_REPLY_TEXT_AT;
    return len - VANDREL_ERROR_REPLY_TEXT_AT >= n + SEPARATOR_LEN && memcmp(text, word, n) == 0 &&
           memcmp(text + n, VANDREL_ERROR_REPLY_SEPARATOR, SEPARATOR_LEN) == 0;
}

/* Keeps an error reply's text, NUL-terminated, cut at a character boundary
 * when it does not fit. */
static void keep_error_text(vandrel_client* client, const unsigned char* reply, size_t len) {
    const unsigned char* text = reply + VANDREL_ERROR_REPLY_TEXT_AT;
    size_t n = len - VANDREL_ERROR_REPLY_TEXT_AT;
    if (n >= VANDREL_BROKER_ERROR_SIZE) {
        n = VANDREL_BROKER_ERROR_SIZE - 1;
        while (n > 0 && (text[n] & UTF8_CONTINUATION_MASK) == UTF8_CONTINUATION)
            --n;
    }
    memcpy(client->broker_error, text, n);
    client->broker_error[n] = '\0';
}

/* Counts one answer to a ticket request: a ticket or a failure. */
static void count_answer(vandrel_client* client) {
    if (client->owed_answers > 0)
        --client->owed_answers;
}

/* True when an error reply ends the request with `challenge`: the failure of
 * a game activation, which the broker reports before it reads the request
 * that follows, or the request's own failure. With error replies on, the
 * broker answers every ticket request exactly once and in order, so the
 * failure of the latest request is the last answer owed; a failure with
 * another challenge, or without one while earlier answers are owed, is the
 * late answer to a request whose caller gave up. Failures of other commands
 * are vandrel_end_ticket's, which waits for nothing. */
static int ends_request(vandrel_client* client, const unsigned char* reply, size_t len,
                        int32_t challenge) {
    if (is_failure_of(reply, len, VANDREL_CMD_GAMEDIR))
        return 1;
    if (!is_failure_of(reply, len, VANDREL_CMD_CONNECT))
        return 0;
    count_answer(client);
    uint32_t failed = read_le32(reply + VANDREL_ERROR_REPLY_CHALLENGE_AT);
    if (failed != 0)
        return failed == (uint32_t)challenge;
    /* Failed before its challenge was read: no game was activated. */
    return client->owed_answers == 0;
}

/* Copies a well-formed reply's ticket into the caller's buffer. */
static vandrel_status copy_ticket(const unsigned char* reply, vandrel_ticket* ticket) {
    uint32_t len = read_le32(reply + VANDREL_TICKET_REPLY_TICKET_LEN_AT);
    ticket->len = len;
    ticket->steam_id =
        vandrel_load_le(reply + VANDREL_TICKET_REPLY_STEAM_ID_AT, VANDREL_STEAM_ID_SIZE);
    if (len > ticket->capacity)
        return VANDREL_ERR_TICKET_TOO_LARGE;
    if (len > 0)
        memcpy(ticket->data, reply + VANDREL_TICKET_REPLY_HEADER_LEN, len);
    return VANDREL_OK;
}

/* Takes a reply that is not an error reply as the answer to the request with
 * `challenge`: true when it ends the request with `*status`, false when it is
 * the ticket for an earlier request whose caller gave up on it. */
static int takes_ticket(vandrel_client* client, const unsigned char* reply, size_t len,
                        int32_t challenge, vandrel_ticket* ticket, vandrel_status* status) {
    if (!is_ticket_reply(reply, len)) {
        *status = vdc_fail(client, VANDREL_ERR_PROTOCOL, 0);
        return 1;
    }
    count_answer(client);
    if (!answers(reply, challenge))
        return 0;
    *status = copy_ticket(reply, ticket);
    return 1;
}

vandrel_status vandrel_request_ticket(vandrel_client* client, const vandrel_ticket_request* request,
                                      int timeout_ms, vandrel_ticket* ticket) {
    if (client == NULL || request == NULL || ticket == NULL)
        return VANDREL_ERR_ARGUMENT;
    if (!vdc_is_server_address(request->server) || (ticket->data == NULL && ticket->capacity > 0))
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;

    client->broker_error[0] = '\0';
    int64_t deadline = vdc_deadline_after(timeout_ms);
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    int len =
        snprintf(line, sizeof line, VANDREL_CMD_CONNECT " %s %" PRIu64 " %" PRId32 " %" PRId32,
                 request->server, request->server_steam_id, request->secure, request->challenge);
    vandrel_status sent = send_line(client, line, len, deadline);
    if (sent != VANDREL_OK)
        return sent;
    ++client->owed_answers;

    for (;;) {
        size_t payload_len = 0;
        vandrel_status got = vdc_receive_frame(client, deadline, &payload_len);
        if (got != VANDREL_OK)
            return got;
        const unsigned char* reply = client->rx + VANDREL_FRAME_HEADER_LEN;
        vandrel_status status = VANDREL_OK;
        int ends = 0;
        if (is_error_reply(reply, payload_len)) {
            ends = ends_request(client, reply, payload_len, request->challenge);
            if (ends) {
                keep_error_text(client, reply, payload_len);
                status = VANDREL_ERR_BROKER;
            }
        } else {
            ends = takes_ticket(client, reply, payload_len, request->challenge, ticket, &status);
        }
        vdc_consume_frame(client);
        if (ends)
            return status;
    }
}

vandrel_status vandrel_end_ticket(vandrel_client* client, const char* server, int32_t challenge) {
    if (client == NULL || !vdc_is_server_address(server))
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    int len = snprintf(line, sizeof line, VANDREL_CMD_DISCONNECT " %s %" PRId32, server, challenge);
    return send_line(client, line, len, VDC_NO_DEADLINE);
}

const char* vandrel_broker_error(const vandrel_client* client) {
    return client == NULL ? "" : client->broker_error;
}

vandrel_status vandrel_terminate(vandrel_client* client) {
    if (client == NULL)
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    static const char line[] = VANDREL_CMD_TERMINATE;
    return vdc_send_frame(client, line, sizeof line - 1, VDC_NO_DEADLINE);
}
