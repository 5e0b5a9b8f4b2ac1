/* The client commands: their arguments are checked before anything is sent,
 * and the replies (a ticket, or the broker's error) are matched to the request
 * they answer. */
#include "check.h"
#include "common/grammar.h"
#include "common/utf8.h"
#include "link.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

/* The replies that answer a request, from the wire header's list: each the
 * command word and a line feed, then the request's challenge (32 bits), then
 * its fields or its text. */
struct reply_form {
    const char* word;   /* the command, and the reply's first bytes */
    size_t word_len;    /* without the line feed */
    size_t steam_id_at; /* the challenge comes right after the line feed */
    size_t handle_at;   /* 0: the reply has no handle */
    size_t len_at;      /* 0: no length; the rest of the reply is text */
    size_t header_len;
};
#define REPLY_FORM(name, word, steam_id_at, handle_at, len_at, header_len)                         \
    {word, sizeof(word) - 1, steam_id_at, handle_at, len_at, header_len},
static const struct reply_form REPLY_FORMS[] = {VANDREL_REPLY_FORMS(REPLY_FORM)};
#undef REPLY_FORM
#define REPLY_FORM_COUNT (sizeof REPLY_FORMS / sizeof REPLY_FORMS[0])
/* Each reply's place in REPLY_FORMS. */
#define REPLY_FORM_INDEX(name, word, steam_id_at, handle_at, len_at, header_len) name##_REPLY_INDEX,
enum { VANDREL_REPLY_FORMS(REPLY_FORM_INDEX) };
#undef REPLY_FORM_INDEX
static const struct reply_form* const CONNECT_REPLY = &REPLY_FORMS[CONNECT_REPLY_INDEX];
static const struct reply_form* const AUTH_REPLY = &REPLY_FORMS[AUTH_TICKET_REPLY_INDEX];
static const struct reply_form* const STATUS_REPLY = &REPLY_FORMS[STATUS_REPLY_INDEX];

/* The client's times rest on the broker's (vandrel/wire.h): the first ticket
 * after an activation may wait for Steam's start and then for its ticket, and
 * a spawned broker may spend a whole request ending an outstanding ticket
 * before it exits. */
typedef char vdc_first_ticket_outlasts_a_start
    [VANDREL_FIRST_TICKET_TIMEOUT_MS >= VANDREL_BROKER_START_MS + VANDREL_BROKER_REQUEST_MS ? 1
                                                                                            : -1];
typedef char
    vdc_close_grace_outlasts_a_request[VANDREL_CLOSE_GRACE_MS > VANDREL_BROKER_REQUEST_MS ? 1 : -1];

/* Where a reply's contents go: a ticket (and its handle), or a status text. */
struct reply_sink {
    vandrel_ticket* ticket;
    uint32_t* handle;
    char* text;
    size_t text_capacity;
};

/* The error reply's layout is in vandrel/wire.h. */
#define SEPARATOR_LEN (sizeof VANDREL_ERROR_REPLY_SEPARATOR - 1)
static const char* const ACTIVATE_WORDS[] = {VANDREL_CMD_GAMEDIR, VANDREL_CMD_APPID};
#define ACTIVATE_WORD_COUNT 2

/* The auth ticket kinds as the broker names them, by vandrel_ticket_kind. */
static const char* const KIND_WORDS[] = {"", VANDREL_KIND_SESSION, VANDREL_KIND_WEBAPI,
                                         VANDREL_KIND_APP};
static const char NO_ARGUMENT[] = VANDREL_NO_ARGUMENT;

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

/* Sends a command that waits for nothing, its line formatted like printf,
 * once its arguments are `valid`: VANDREL_ERR_ARGUMENT for a NULL client or
 * invalid arguments (which are then not formatted), VANDREL_ERR_NOT_OPEN for
 * a closed client. */
__attribute__((format(printf, 3, 4))) static vandrel_status
send_command(vandrel_client* client, int valid, const char* format, ...) {
    if (client == NULL || !valid)
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    va_list args;
    va_start(args, format);
    int len = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return send_line(client, line, len, VDC_NO_DEADLINE);
}

vandrel_status vandrel_activate_gamedir(vandrel_client* client, const char* gamedir) {
    return send_command(client, vdc_is_gamedir(gamedir), VANDREL_CMD_GAMEDIR " %s", gamedir);
}

/* True when `reply` has the ticket reply's `form`: the word and line feed,
 * the fixed fields, and at least as many ticket bytes as it announces. */
static int has_form(const unsigned char* reply, size_t len, const struct reply_form* form) {
    return len >= form->header_len && memcmp(reply, form->word, form->word_len) == 0 &&
           reply[form->word_len] == '\n' &&
           (form->len_at == 0 || read_le32(reply + form->len_at) <= len - form->header_len);
}

/* True when `reply` has the form of a reply other than `form`. */
static int has_other_form(const unsigned char* reply, size_t len, const struct reply_form* form) {
    for (size_t i = 0; i < REPLY_FORM_COUNT; ++i)
        if (&REPLY_FORMS[i] != form && has_form(reply, len, &REPLY_FORMS[i]))
            return 1;
    return 0;
}

/* True when an error reply reports the failure of a request other than one of
 * `form`. */
static int is_other_failure(const unsigned char* reply, size_t len, const struct reply_form* form);

/* True when a well-formed `reply` answers the request with `challenge`.
 * Compared as unsigned: converting a negative challenge is exact. */
static int answers(const unsigned char* reply, const struct reply_form* form, int32_t challenge) {
    return read_le32(reply + form->word_len + 1) == (uint32_t)challenge;
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
    if (n >= VANDREL_BROKER_ERROR_SIZE)
        n = vd_utf8_prefix_len((const char*)text, n, VANDREL_BROKER_ERROR_SIZE - 1);
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
                        const struct reply_form* form, int32_t challenge) {
    for (size_t i = 0; i < ACTIVATE_WORD_COUNT; ++i)
        if (is_failure_of(reply, len, ACTIVATE_WORDS[i]))
            return 1;
    if (is_other_failure(reply, len, form)) {
        /* The late failure of a request of another kind. */
        count_answer(client);
        return 0;
    }
    if (!is_failure_of(reply, len, form->word))
        return 0;
    count_answer(client);
    uint32_t failed = read_le32(reply + VANDREL_ERROR_REPLY_CHALLENGE_AT);
    if (failed != 0)
        return failed == (uint32_t)challenge;
    /* Failed before its challenge was read: no game was activated. */
    return client->owed_answers == 0;
}

static int is_other_failure(const unsigned char* reply, size_t len, const struct reply_form* form) {
    for (size_t i = 0; i < REPLY_FORM_COUNT; ++i)
        if (&REPLY_FORMS[i] != form && is_failure_of(reply, len, REPLY_FORMS[i].word))
            return 1;
    return 0;
}

/* Copies a well-formed status reply's text, NUL-terminated, into the
 * caller's buffer, which holds any. */
static vandrel_status copy_text(const unsigned char* reply, size_t len,
                                const struct reply_sink* sink) {
    size_t n = len - STATUS_REPLY->header_len;
    memcpy(sink->text, reply + STATUS_REPLY->header_len, n);
    sink->text[n] = '\0';
    return VANDREL_OK;
}

/* Copies a well-formed reply's ticket into the caller's buffer. */
static vandrel_status copy_ticket(const unsigned char* reply, const struct reply_form* form,
                                  vandrel_ticket* ticket, uint32_t* handle) {
    uint32_t len = read_le32(reply + form->len_at);
    ticket->len = len;
    ticket->steam_id = vandrel_load_le(reply + form->steam_id_at, VANDREL_STEAM_ID_SIZE);
    if (handle != NULL && form->handle_at != 0)
        *handle = read_le32(reply + form->handle_at);
    if (len > ticket->capacity)
        return VANDREL_ERR_TICKET_TOO_LARGE;
    if (len > 0)
        memcpy(ticket->data, reply + form->header_len, len);
    return VANDREL_OK;
}

/* Takes a reply that is not an error reply as the answer to the request with
 * `challenge`: true when it ends the request with `*status`, false when it is
 * the ticket for an earlier request whose caller gave up on it. */
static int takes_reply(vandrel_client* client, const unsigned char* reply, size_t len,
                       const struct reply_form* form, int32_t challenge,
                       const struct reply_sink* sink, vandrel_status* status) {
    if (!has_form(reply, len, form)) {
        if (has_other_form(reply, len, form)) {
            count_answer(client); /* a late answer of another kind */
            return 0;
        }
        *status = vdc_fail(client, VANDREL_ERR_PROTOCOL, 0);
        return 1;
    }
    count_answer(client);
    if (!answers(reply, form, challenge))
        return 0;
    *status = form == STATUS_REPLY ? copy_text(reply, len, sink)
                                   : copy_ticket(reply, form, sink->ticket, sink->handle);
    return 1;
}

/* Sends one request's `line` and waits for its reply of `form`. */
static vandrel_status await_reply(vandrel_client* client, const char* line, int len,
                                  const struct reply_form* form, int32_t challenge, int timeout_ms,
                                  const struct reply_sink* sink) {
    client->broker_error[0] = '\0';
    int64_t deadline = vdc_deadline_after(timeout_ms);
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
            ends = ends_request(client, reply, payload_len, form, challenge);
            if (ends) {
                keep_error_text(client, reply, payload_len);
                status = VANDREL_ERR_BROKER;
            }
        } else {
            ends = takes_reply(client, reply, payload_len, form, challenge, sink, &status);
        }
        vdc_consume_frame(client);
        if (ends)
            return status;
    }
}

vandrel_status vandrel_request_ticket(vandrel_client* client, const vandrel_ticket_request* request,
                                      int timeout_ms, vandrel_ticket* ticket) {
    if (client == NULL || request == NULL || ticket == NULL)
        return VANDREL_ERR_ARGUMENT;
    if (!vdc_is_server_address(request->server) || (ticket->data == NULL && ticket->capacity > 0))
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    int len =
        snprintf(line, sizeof line, VANDREL_CMD_CONNECT " %s %" PRIu64 " %" PRId32 " %" PRId32,
                 request->server, request->server_steam_id, request->secure, request->challenge);
    struct reply_sink sink = {ticket, NULL, NULL, 0};
    return await_reply(client, line, len, CONNECT_REPLY, request->challenge, timeout_ms, &sink);
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

vandrel_status vandrel_request_auth_ticket(vandrel_client* client,
                                           const vandrel_auth_request* request, int timeout_ms,
                                           vandrel_ticket* ticket, uint32_t* handle) {
    char argument[2 * VANDREL_MAX_APP_DATA_LEN + 1];
    if (client == NULL || request == NULL || ticket == NULL)
        return VANDREL_ERR_ARGUMENT;
    if (!auth_argument(request, argument) || (ticket->data == NULL && ticket->capacity > 0))
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    int len = snprintf(line, sizeof line, VANDREL_CMD_TICKET " %s %s %" PRId32,
                       KIND_WORDS[request->kind], argument, request->challenge);
    struct reply_sink sink = {ticket, NULL, NULL, 0};
    sink.handle = handle; /* written when the ticket comes */
    return await_reply(client, line, len, AUTH_REPLY, request->challenge, timeout_ms, &sink);
}

vandrel_status vandrel_request_broker_status(vandrel_client* client, int32_t challenge,
                                             int timeout_ms, char* text, size_t capacity) {
    if (client == NULL || text == NULL || capacity < VANDREL_STATUS_TEXT_SIZE)
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    text[0] = '\0';
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    int len = snprintf(line, sizeof line, VANDREL_CMD_STATUS " %" PRId32, challenge);
    struct reply_sink sink = {NULL, NULL, text, capacity};
    return await_reply(client, line, len, STATUS_REPLY, challenge, timeout_ms, &sink);
}

vandrel_status vandrel_activate_appid(vandrel_client* client, uint32_t appid) {
    return send_command(client, appid != 0, VANDREL_CMD_APPID " %" PRIu32, appid);
}

vandrel_status vandrel_cancel_ticket(vandrel_client* client, uint32_t handle) {
    return send_command(client, 1, VANDREL_CMD_CANCEL " %" PRIu32, handle);
}

vandrel_status vandrel_end_ticket(vandrel_client* client, const char* server, int32_t challenge) {
    return send_command(client, vdc_is_server_address(server),
                        VANDREL_CMD_DISCONNECT " %s %" PRId32, server, challenge);
}

const char* vandrel_broker_error(const vandrel_client* client) {
    return client == NULL ? "" : client->broker_error;
}

vandrel_status vandrel_terminate(vandrel_client* client) {
    return send_command(client, 1, "%s", VANDREL_CMD_TERMINATE);
}
