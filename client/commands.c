/* The client commands: their arguments are checked here, before anything is
 * sent, and the replies (a ticket, or the broker's error) are matched to the
 * request they answer. */
#define _POSIX_C_SOURCE 200809L

#include "link.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

/* The longest server address: "255.255.255.255:" and a port that may carry
 * leading zeros, as the broker accepts them. */
#define MAX_SERVER_LEN 32

static const char TICKET_REPLY_PREFIX[] = "vd_connect\n";
#define TICKET_REPLY_PREFIX_LEN 11
#define REPLY_CHALLENGE_AT 11
#define REPLY_STEAM_ID_AT 15
#define REPLY_TICKET_LEN_AT 23

/* An error reply: "vd_error\n", the failed command's challenge (0 when it had
 * none or it was not read), then "WORD: reason". */
static const char ERROR_REPLY_PREFIX[] = "vd_error\n";
#define ERROR_REPLY_PREFIX_LEN 9
#define ERROR_CHALLENGE_AT 9
#define ERROR_TEXT_AT 13
static const char ACTIVATE_WORD[] = "vd_gamedir";
static const char REQUEST_WORD[] = "vd_connect";

static uint32_t read_le32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint64_t read_le64(const unsigned char* p) {
    return (uint64_t)read_le32(p) | (uint64_t)read_le32(p + 4) << 32;
}

static int is_digit(char c) {
    return c >= '0' && c <= '9';
}

/* True for the broker's server address form: four dotted decimal octets
 * (0 to 255, no leading zero), ':' and a decimal port of at most 65535
 * (leading zeros allowed). No host names, no IPv6, nothing around it. */
static int is_server_address(const char* text) {
    if (text == NULL || strnlen(text, MAX_SERVER_LEN + 1) > MAX_SERVER_LEN)
        return 0;
    const char* p = text;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0 && *p++ != '.')
            return 0;
        int digits = 0;
        int value = 0;
        const char* start = p;
        while (is_digit(*p) && digits < 4) {
            value = value * 10 + (*p - '0');
            ++digits;
            ++p;
        }
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && *start == '0'))
            return 0;
    }
    if (*p++ != ':' || !is_digit(*p))
        return 0;
    long port = 0;
    for (; is_digit(*p); ++p) {
        port = port * 10 + (*p - '0');
        if (port > 65535)
            return 0;
    }
    return *p == '\0';
}

/* True for 1 to VANDREL_MAX_GAMEDIR_LEN printable ASCII characters without
 * white space: exactly one token to the broker, with nothing to escape. */
static int is_gamedir(const char* text) {
    if (text == NULL)
        return 0;
    size_t len = strnlen(text, VANDREL_MAX_GAMEDIR_LEN + 1);
    if (len == 0 || len > VANDREL_MAX_GAMEDIR_LEN)
        return 0;
    for (size_t i = 0; i < len; ++i)
        if (text[i] <= ' ' || text[i] > '~')
            return 0;
    return 1;
}

vandrel_status vandrel_check_gamedir(const char* gamedir) {
    return is_gamedir(gamedir) ? VANDREL_OK : VANDREL_ERR_ARGUMENT;
}

vandrel_status vandrel_check_server(const char* server) {
    return is_server_address(server) ? VANDREL_OK : VANDREL_ERR_ARGUMENT;
}

static int is_open(const vandrel_client* client) {
    return client->read_fd >= 0 && client->write_fd >= 0;
}

/* Sends one command line that `snprintf` has put into `line`. */
static vandrel_status send_line(vandrel_client* client, const char* line, int len,
                                int64_t deadline) {
    if (len < 0 || len > VANDREL_MAX_FRAME_PAYLOAD)
        return vandrel_fail(client, VANDREL_ERR_ARGUMENT, 0);
    return vandrel_send_frame(client, line, (size_t)len, deadline);
}

vandrel_status vandrel_activate_gamedir(vandrel_client* client, const char* gamedir) {
    if (client == NULL || !is_gamedir(gamedir))
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    int len = snprintf(line, sizeof line, "vd_gamedir %s", gamedir);
    return send_line(client, line, len, VANDREL_NO_DEADLINE);
}

/* VANDREL_OK when `reply` has the ticket reply's form: the prefix, the fixed
 * fields, and at least as many ticket bytes as it announces. */
static vandrel_status check_reply(const unsigned char* reply, size_t len) {
    if (len < VANDREL_TICKET_REPLY_HEADER_LEN ||
        memcmp(reply, TICKET_REPLY_PREFIX, TICKET_REPLY_PREFIX_LEN) != 0)
        return VANDREL_ERR_PROTOCOL;
    if (read_le32(reply + REPLY_TICKET_LEN_AT) > len - VANDREL_TICKET_REPLY_HEADER_LEN)
        return VANDREL_ERR_PROTOCOL;
    return VANDREL_OK;
}

/* True when a well-formed `reply` answers the request with `challenge`.
 * Compared as unsigned: converting a negative challenge is exact. */
static int answers(const unsigned char* reply, int32_t challenge) {
    return read_le32(reply + REPLY_CHALLENGE_AT) == (uint32_t)challenge;
}

/* True when `reply` is an error reply with its fixed fields. */
static int is_error_reply(const unsigned char* reply, size_t len) {
    return len >= ERROR_TEXT_AT && memcmp(reply, ERROR_REPLY_PREFIX, ERROR_REPLY_PREFIX_LEN) == 0;
}

/* True when an error reply reports a failure of the command `word`. */
static int is_failure_of(const unsigned char* reply, size_t len, const char* word) {
    size_t n = strlen(word);
    const unsigned char* text = reply + ERROR_TEXT_AT;
    return len - ERROR_TEXT_AT >= n + 2 && memcmp(text, word, n) == 0 && text[n] == ':' &&
           text[n + 1] == ' ';
}

/* Keeps an error reply's text, NUL-terminated, cut at a character boundary
 * when it does not fit. */
static void keep_error_text(vandrel_client* client, const unsigned char* reply, size_t len) {
    const unsigned char* text = reply + ERROR_TEXT_AT;
    size_t n = len - ERROR_TEXT_AT;
    if (n >= VANDREL_BROKER_ERROR_SIZE) {
        n = VANDREL_BROKER_ERROR_SIZE - 1;
        while (n > 0 && (text[n] & 0xC0) == 0x80)
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
    if (is_failure_of(reply, len, ACTIVATE_WORD))
        return 1;
    if (!is_failure_of(reply, len, REQUEST_WORD))
        return 0;
    count_answer(client);
    uint32_t failed = read_le32(reply + ERROR_CHALLENGE_AT);
    if (failed != 0)
        return failed == (uint32_t)challenge;
    /* Failed before its challenge was read: no game was activated. */
    return client->owed_answers == 0;
}

/* Copies a well-formed reply's ticket into the caller's buffer. */
static vandrel_status copy_ticket(const unsigned char* reply, vandrel_ticket* ticket) {
    uint32_t len = read_le32(reply + REPLY_TICKET_LEN_AT);
    ticket->len = len;
    ticket->steam_id = read_le64(reply + REPLY_STEAM_ID_AT);
    if (len > ticket->capacity)
        return VANDREL_ERR_TICKET_TOO_LARGE;
    if (len > 0)
        memcpy(ticket->data, reply + VANDREL_TICKET_REPLY_HEADER_LEN, len);
    return VANDREL_OK;
}

vandrel_status vandrel_request_ticket(vandrel_client* client, const vandrel_ticket_request* request,
                                      int timeout_ms, vandrel_ticket* ticket) {
    if (client == NULL || request == NULL || ticket == NULL)
        return VANDREL_ERR_ARGUMENT;
    if (!is_server_address(request->server) || (ticket->data == NULL && ticket->capacity > 0))
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;

    client->broker_error[0] = '\0';
    int64_t deadline = vandrel_deadline_after(timeout_ms);
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    int len =
        snprintf(line, sizeof line, "vd_connect %s %" PRIu64 " %" PRId32 " %" PRId32,
                 request->server, request->server_steam_id, request->secure, request->challenge);
    vandrel_status sent = send_line(client, line, len, deadline);
    if (sent != VANDREL_OK)
        return sent;
    ++client->owed_answers;

    for (;;) {
        size_t payload_len = 0;
        vandrel_status got = vandrel_receive_frame(client, deadline, &payload_len);
        if (got != VANDREL_OK)
            return got;
        const unsigned char* reply = client->rx + VANDREL_FRAME_HEADER_LEN;
        if (is_error_reply(reply, payload_len)) {
            int ends = ends_request(client, reply, payload_len, request->challenge);
            if (ends)
                keep_error_text(client, reply, payload_len);
            vandrel_consume_frame(client);
            if (ends)
                return VANDREL_ERR_BROKER;
            continue;
        }
        vandrel_status status = check_reply(reply, payload_len);
        if (status == VANDREL_OK)
            count_answer(client);
        if (status == VANDREL_OK && !answers(reply, request->challenge)) {
            /* The reply to an earlier request whose caller gave up on it. */
            vandrel_consume_frame(client);
            continue;
        }
        if (status == VANDREL_OK)
            status = copy_ticket(reply, ticket);
        vandrel_consume_frame(client);
        return status == VANDREL_ERR_PROTOCOL ? vandrel_fail(client, status, 0) : status;
    }
}

vandrel_status vandrel_end_ticket(vandrel_client* client, const char* server, int32_t challenge) {
    if (client == NULL || !is_server_address(server))
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    char line[VANDREL_MAX_FRAME_PAYLOAD + 1];
    int len = snprintf(line, sizeof line, "vd_disconnect %s %" PRId32, server, challenge);
    return send_line(client, line, len, VANDREL_NO_DEADLINE);
}

void vandrel_request_error_replies(vandrel_client* client) {
    static const char line[] = "vd_errors on";
    (void)vandrel_send_frame(client, line, sizeof line - 1, VANDREL_NO_DEADLINE);
}

const char* vandrel_broker_error(const vandrel_client* client) {
    return client == NULL ? "" : client->broker_error;
}

vandrel_status vandrel_terminate(vandrel_client* client) {
    if (client == NULL)
        return VANDREL_ERR_ARGUMENT;
    if (!is_open(client))
        return VANDREL_ERR_NOT_OPEN;
    static const char line[] = "vd_terminate";
    return vandrel_send_frame(client, line, sizeof line - 1, VANDREL_NO_DEADLINE);
}
