/* A reader of the ticket reply and a writer of frame headers written in strict
 * C99 against vandrel/wire.h alone, as a C client would write them. */
#include "wire_check.h"

#include <string.h>
#include <vandrel/wire.h>

int wire_check_read_ticket_reply(const unsigned char* reply, size_t len,
                                 struct wire_check_ticket* out) {
    if (len < VANDREL_TICKET_REPLY_HEADER_LEN ||
        memcmp(reply, VANDREL_TICKET_REPLY_WORD, VANDREL_TICKET_REPLY_WORD_LEN) != 0)
        return 0;
    out->challenge = (uint32_t)vandrel_load_le(reply + VANDREL_TICKET_REPLY_CHALLENGE_AT,
                                               VANDREL_CHALLENGE_SIZE);
    out->steam_id =
        vandrel_load_le(reply + VANDREL_TICKET_REPLY_STEAM_ID_AT, VANDREL_STEAM_ID_SIZE);
    out->ticket_len = (uint32_t)vandrel_load_le(reply + VANDREL_TICKET_REPLY_TICKET_LEN_AT,
                                                VANDREL_TICKET_LEN_SIZE);
    if (out->ticket_len > len - VANDREL_TICKET_REPLY_HEADER_LEN)
        return 0;
    out->ticket = reply + VANDREL_TICKET_REPLY_HEADER_LEN;
    return 1;
}

int wire_check_read_auth_reply(const unsigned char* reply, size_t len,
                               struct wire_check_auth_ticket* out) {
    if (len < VANDREL_AUTH_REPLY_HEADER_LEN ||
        memcmp(reply, VANDREL_AUTH_REPLY_WORD, VANDREL_AUTH_REPLY_WORD_LEN) != 0)
        return 0;
    out->challenge =
        (uint32_t)vandrel_load_le(reply + VANDREL_AUTH_REPLY_CHALLENGE_AT, VANDREL_CHALLENGE_SIZE);
    out->steam_id = vandrel_load_le(reply + VANDREL_AUTH_REPLY_STEAM_ID_AT, VANDREL_STEAM_ID_SIZE);
    out->handle =
        (uint32_t)vandrel_load_le(reply + VANDREL_AUTH_REPLY_HANDLE_AT, VANDREL_HANDLE_SIZE);
    out->ticket_len = (uint32_t)vandrel_load_le(reply + VANDREL_AUTH_REPLY_TICKET_LEN_AT,
                                                VANDREL_TICKET_LEN_SIZE);
    if (out->ticket_len > len - VANDREL_AUTH_REPLY_HEADER_LEN)
        return 0;
    out->ticket = reply + VANDREL_AUTH_REPLY_HEADER_LEN;
    return 1;
}

size_t wire_check_frame_header(unsigned char* out, size_t payload_len) {
    /* The magic travels without its terminator. */
    /* NOLINTNEXTLINE(bugprone-not-null-terminated-result) */
    memcpy(out, VANDREL_FRAME_MAGIC, VANDREL_FRAME_MAGIC_LEN);
    vandrel_store_le(out + VANDREL_FRAME_LEN_AT, VANDREL_FRAME_LEN_SIZE, payload_len);
    return VANDREL_FRAME_HEADER_LEN;
}
