/* The wire between a client and the broker, written once for both sides: the
 * broker (C++) and the client library (C99) spell no wire constant of their
 * own.
 *
 * A frame is the magic, the payload's length as an unsigned 16-bit
 * little-endian integer, then the payload. The client sends one command line
 * per frame ("WORD ARGUMENTS"); the broker answers a "vd_connect" with a ticket
 * reply and, once a client asked for them, a failed command with an error
 * reply. Every integer inside a reply is little-endian.
 */
#ifndef VANDREL_WIRE_H
#define VANDREL_WIRE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* --- Frames ------------------------------------------------------------- */

#define VANDREL_FRAME_MAGIC "VDRL"
#define VANDREL_FRAME_MAGIC_LEN 4
/* The payload length follows the magic. */
#define VANDREL_FRAME_LEN_AT 4
#define VANDREL_FRAME_LEN_SIZE 2
#define VANDREL_FRAME_HEADER_LEN 6
/* The largest payload of a frame, in either direction. */
#define VANDREL_MAX_FRAME_PAYLOAD 4096

/* --- Client commands ---------------------------------------------------- */

/* "vd_gamedir GAMEDIR": start Steam for the game directory's AppID. */
#define VANDREL_CMD_GAMEDIR "vd_gamedir"
/* "vd_connect ADDR SERVER_STEAM_ID SECURE CHALLENGE": ask for a ticket. */
#define VANDREL_CMD_CONNECT "vd_connect"
/* "vd_disconnect ADDR CHALLENGE": the game connection has ended. */
#define VANDREL_CMD_DISCONNECT "vd_disconnect"
/* "vd_errors on|off": whether failed commands are answered. */
#define VANDREL_CMD_ERRORS "vd_errors"
#define VANDREL_ERRORS_ON "on"
#define VANDREL_ERRORS_OFF "off"
/* "vd_terminate": end the session and stop the broker. */
#define VANDREL_CMD_TERMINATE "vd_terminate"
/* "vd_appid APPID": start Steam for any AppID (1 to 4294967295). */
#define VANDREL_CMD_APPID "vd_appid"
/* "vd_ticket KIND ARG CHALLENGE": ask for an auth ticket of one kind; ARG is
 * an identity (session, webapi) or hex data (app), or VANDREL_NO_ARGUMENT. */
#define VANDREL_CMD_TICKET "vd_ticket"
#define VANDREL_KIND_SESSION "session"
#define VANDREL_KIND_WEBAPI "webapi"
#define VANDREL_KIND_APP "app"
#define VANDREL_NO_ARGUMENT "-"
/* "vd_cancel HANDLE": cancel a session or web API ticket. */
#define VANDREL_CMD_CANCEL "vd_cancel"
/* "vd_status CHALLENGE": report the broker and its Steam child. */
#define VANDREL_CMD_STATUS "vd_status"

/* --- Replies -------------------------------------------------------------- */

#define VANDREL_CHALLENGE_SIZE 4
#define VANDREL_STEAM_ID_SIZE 8
#define VANDREL_TICKET_LEN_SIZE 4
#define VANDREL_HANDLE_SIZE 4

/* The connect reply to "vd_connect": the word, the request's challenge (32
 * bits), the user's Steam ID (64 bits), the ticket's length N (32 bits), then
 * the N ticket bytes. */
#define VANDREL_CONNECT_REPLY_WORD "vd_connect\n"
#define VANDREL_CONNECT_REPLY_WORD_LEN 11
#define VANDREL_CONNECT_REPLY_CHALLENGE_AT 11
#define VANDREL_CONNECT_REPLY_STEAM_ID_AT 15
#define VANDREL_CONNECT_REPLY_TICKET_LEN_AT 23
/* The connect reply's fixed part; the ticket starts here. */
#define VANDREL_CONNECT_REPLY_HEADER_LEN 27

/* The auth ticket reply to "vd_ticket": the word, the request's challenge
 * (32 bits), the user's Steam ID (64 bits), the ticket's handle (32 bits; 0
 * for an app ticket), the ticket's length N (32 bits), then the N ticket
 * bytes. */
#define VANDREL_AUTH_TICKET_REPLY_WORD "vd_ticket\n"
#define VANDREL_AUTH_TICKET_REPLY_WORD_LEN 10
#define VANDREL_AUTH_TICKET_REPLY_CHALLENGE_AT 10
#define VANDREL_AUTH_TICKET_REPLY_STEAM_ID_AT 14
#define VANDREL_AUTH_TICKET_REPLY_HANDLE_AT 22
#define VANDREL_AUTH_TICKET_REPLY_TICKET_LEN_AT 26
/* The auth ticket reply's fixed part; the ticket starts here. */
#define VANDREL_AUTH_TICKET_REPLY_HEADER_LEN 30

/* The earlier names of the two ticket replies: TICKET for the connect reply,
 * AUTH for the auth ticket reply. */
#define VANDREL_TICKET_REPLY_WORD VANDREL_CONNECT_REPLY_WORD
#define VANDREL_TICKET_REPLY_WORD_LEN VANDREL_CONNECT_REPLY_WORD_LEN
#define VANDREL_TICKET_REPLY_CHALLENGE_AT VANDREL_CONNECT_REPLY_CHALLENGE_AT
#define VANDREL_TICKET_REPLY_STEAM_ID_AT VANDREL_CONNECT_REPLY_STEAM_ID_AT
#define VANDREL_TICKET_REPLY_TICKET_LEN_AT VANDREL_CONNECT_REPLY_TICKET_LEN_AT
#define VANDREL_TICKET_REPLY_HEADER_LEN VANDREL_CONNECT_REPLY_HEADER_LEN
#define VANDREL_AUTH_REPLY_WORD VANDREL_AUTH_TICKET_REPLY_WORD
#define VANDREL_AUTH_REPLY_WORD_LEN VANDREL_AUTH_TICKET_REPLY_WORD_LEN
#define VANDREL_AUTH_REPLY_CHALLENGE_AT VANDREL_AUTH_TICKET_REPLY_CHALLENGE_AT
#define VANDREL_AUTH_REPLY_STEAM_ID_AT VANDREL_AUTH_TICKET_REPLY_STEAM_ID_AT
#define VANDREL_AUTH_REPLY_HANDLE_AT VANDREL_AUTH_TICKET_REPLY_HANDLE_AT
#define VANDREL_AUTH_REPLY_TICKET_LEN_AT VANDREL_AUTH_TICKET_REPLY_TICKET_LEN_AT
#define VANDREL_AUTH_REPLY_HEADER_LEN VANDREL_AUTH_TICKET_REPLY_HEADER_LEN

/* The status reply to "vd_status": the word, the request's challenge (32
 * bits), then UTF-8 text, one "key value" line each, every line ending in a
 * line feed: the keys below, the last four only while a child is ready. */
#define VANDREL_STATUS_REPLY_WORD "vd_status\n"
#define VANDREL_STATUS_REPLY_WORD_LEN 10
#define VANDREL_STATUS_REPLY_CHALLENGE_AT 10
#define VANDREL_STATUS_REPLY_TEXT_AT 14
#define VANDREL_STATUS_VERSION "version"
#define VANDREL_STATUS_UID "uid"
#define VANDREL_STATUS_APPID "appid" /* or VANDREL_STATUS_NONE */
#define VANDREL_STATUS_STEAMID "steamid"
#define VANDREL_STATUS_LOGGED_ON "logged_on" /* VANDREL_STATUS_YES or _NO */
#define VANDREL_STATUS_RUNTIME "runtime"     /* the runtime's absolute path */
#define VANDREL_STATUS_RUNTIME_KIND "runtime_kind"
#define VANDREL_STATUS_NONE "none"
#define VANDREL_STATUS_YES "yes"
#define VANDREL_STATUS_NO "no"
#define VANDREL_RUNTIME_KIND_STEAM "steam"
#define VANDREL_RUNTIME_KIND_STANDIN "standin"

/* Every reply that answers a request, one line each, so that code which
 * treats them all alike (the client library, which must know each to skip a
 * late one) follows from this list:
 *   X(NAME, the request's word, the Steam ID's offset, the handle's offset,
 *     the ticket length's offset, the fixed part's length)
 * Each reply starts with the request's word and a line feed, then the
 * request's challenge. An offset of 0: the reply has no such field; a reply
 * without a ticket length carries text after its fixed part. */
#define VANDREL_REPLY_FORMS(X)                                                                     \
    X(CONNECT, VANDREL_CMD_CONNECT, VANDREL_CONNECT_REPLY_STEAM_ID_AT, 0,                          \
      VANDREL_CONNECT_REPLY_TICKET_LEN_AT, VANDREL_CONNECT_REPLY_HEADER_LEN)                       \
    X(AUTH_TICKET, VANDREL_CMD_TICKET, VANDREL_AUTH_TICKET_REPLY_STEAM_ID_AT,                      \
      VANDREL_AUTH_TICKET_REPLY_HANDLE_AT, VANDREL_AUTH_TICKET_REPLY_TICKET_LEN_AT,                \
      VANDREL_AUTH_TICKET_REPLY_HEADER_LEN)                                                        \
    X(STATUS, VANDREL_CMD_STATUS, 0, 0, 0, VANDREL_STATUS_REPLY_TEXT_AT)

/* The error reply: the word, the failed command's challenge (32 bits; 0 when
 * it had none or it was not read), then "WORD: reason". */
#define VANDREL_ERROR_REPLY_WORD "vd_error\n"
#define VANDREL_ERROR_REPLY_WORD_LEN 9
#define VANDREL_ERROR_REPLY_CHALLENGE_AT 9
#define VANDREL_ERROR_REPLY_TEXT_AT 13
/* Between the failed command's word and the reason. */
#define VANDREL_ERROR_REPLY_SEPARATOR ": "

/* --- Limits and times ------------------------------------------------------- */

/* The broker's default TCP listen address, and a client's last choice when
 * it is given no address. */
#define VANDREL_DEFAULT_BROKER_ADDR "127.0.0.1:27420"
/* The longest game directory name that the client library sends. */
#define VANDREL_MAX_GAMEDIR_LEN 64
/* The largest ticket Steam issues; a buffer of this size holds any ticket. */
#define VANDREL_MAX_TICKET_LEN 2048
/* The largest auth ticket (a web API ticket); a buffer of this size holds any. */
#define VANDREL_MAX_AUTH_TICKET_LEN 2560
/* The longest identity of "vd_ticket", in bytes. */
#define VANDREL_MAX_IDENTITY_LEN 255
/* The most data an encrypted app ticket carries. */
#define VANDREL_MAX_APP_DATA_LEN 1024
/* How long the broker's Steam waits for Steam to confirm an auth ticket. */
#define VANDREL_BROKER_CONFIRM_MS 5000
/* How long the broker waits for Steam to start after a game directory. */
#define VANDREL_BROKER_START_MS 20000
/* How long the broker waits for Steam to answer one ticket request. */
#define VANDREL_BROKER_REQUEST_MS 8000

/* --- Little-endian integers --------------------------------------------- */

/* The unsigned integer held little-endian in the `len` (at most 8) bytes at
 * `p`. */
static inline uint64_t vandrel_load_le(const unsigned char* p, size_t len) {
    uint64_t value = 0;
    size_t i;
    for (i = 0; i < len; ++i)
        value |= (uint64_t)p[i] << (8 * i);
    return value;
}

/* Writes the low `len` (at most 8) bytes of `value` to `p`, least significant
 * first. */
static inline void vandrel_store_le(unsigned char* p, size_t len, uint64_t value) {
    size_t i;
    for (i = 0; i < len; ++i)
        p[i] = (unsigned char)(value >> (8 * i));
}

#ifdef __cplusplus
}
#endif

#endif
