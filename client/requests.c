/* The reply reader. With error replies on, the broker answers every request
 * exactly once and in the order it read them, so an answer belongs to the
 * oldest request still owed one; the reader still matches each reply by its
 * kind and challenge, so that a late answer to a request whose caller gave up
 * ends nothing, whatever order replies come in. */
#include "requests.h"

#include "common/utf8.h"

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
static const struct reply_form REPLY_FORMS[VDC_FORM_COUNT] = {VANDREL_REPLY_FORMS(REPLY_FORM)};
#undef REPLY_FORM

/* The error reply's layout is in vandrel/wire.h. */
#define SEPARATOR_LEN (sizeof VANDREL_ERROR_REPLY_SEPARATOR - 1)
static const char* const ACTIVATE_WORDS[] = {VANDREL_CMD_GAMEDIR, VANDREL_CMD_APPID};
#define ACTIVATE_WORD_COUNT (sizeof ACTIVATE_WORDS / sizeof ACTIVATE_WORDS[0])

static uint32_t read_le32(const unsigned char* p) {
    return (uint32_t)vandrel_load_le(p, sizeof(uint32_t));
}

void vdc_activation_sent(struct vdc_requests* table) {
    ++table->activations;
    table->activation_failed = 0;
}

/* The oldest request that the broker still owes an answer (with
 * `handed_only`, among those already handed over), or NULL. */
static struct vdc_request* oldest_owed(struct vdc_requests* table, int handed_only) {
    struct vdc_request* oldest = NULL;
    for (size_t i = 0; i < VANDREL_MAX_PENDING; ++i) {
        struct vdc_request* r = &table->slot[i];
        if (r->phase == VDC_FREE || !r->owed || (handed_only && r->phase != VDC_HANDED))
            continue;
        if (oldest == NULL || r->sent < oldest->sent)
            oldest = r;
    }
    return oldest;
}

/* Frees a request once it is handed over and nothing is owed to it. */
static void free_if_done(struct vdc_request* r) {
    if (r->phase == VDC_HANDED && !r->owed)
        r->phase = VDC_FREE;
}

int vdc_make_room(struct vdc_requests* table) {
    for (size_t i = 0; i < VANDREL_MAX_PENDING; ++i)
        if (table->slot[i].phase == VDC_FREE)
            return 1;
    /* Every slot is taken. One that only waits for a late answer is given
     * up; that answer is then discarded by its challenge, and counted. */
    struct vdc_request* late = oldest_owed(table, 1);
    if (late == NULL)
        return 0;
    late->phase = VDC_FREE;
    ++table->forgotten;
    return 1;
}

/* Ends a waiting request with `status`. */
static void end(struct vdc_requests* table, struct vdc_request* r, vandrel_status status) {
    r->phase = VDC_ENDED;
    r->status = status;
    r->ended = ++table->ended;
}

/* Keeps an error reply's text in `out` (VANDREL_BROKER_ERROR_SIZE bytes),
 * NUL-terminated, cut at a character boundary when it does not fit. */
static void keep_error_text(char* out, const unsigned char* reply, size_t len) {
    const unsigned char* text = reply + VANDREL_ERROR_REPLY_TEXT_AT;
    size_t n = len - VANDREL_ERROR_REPLY_TEXT_AT;
    if (n >= VANDREL_BROKER_ERROR_SIZE)
        n = vd_utf8_prefix_len((const char*)text, n, VANDREL_BROKER_ERROR_SIZE - 1);
    memcpy(out, text, n);
    out[n] = '\0';
}

/* A request identifier that is not 0 and that no request in the table has,
 * also once the count has wrapped around. */
static vandrel_request_id next_id(struct vdc_requests* table) {
    for (;;) {
        vandrel_request_id id = ++table->last_id;
        int taken = id == 0;
        for (size_t i = 0; i < VANDREL_MAX_PENDING && !taken; ++i)
            taken = table->slot[i].phase != VDC_FREE && table->slot[i].id == id;
        if (!taken)
            return id;
    }
}

struct vdc_request* vdc_start_request(struct vdc_requests* table, enum vdc_form form,
                                      int32_t challenge, int64_t deadline,
                                      const struct vdc_sink* sink) {
    struct vdc_request* r = NULL;
    for (size_t i = 0; i < VANDREL_MAX_PENDING && r == NULL; ++i)
        if (table->slot[i].phase == VDC_FREE)
            r = &table->slot[i];
    if (r == NULL)
        return NULL;
    memset(r, 0, sizeof *r);
    r->id = next_id(table);
    r->phase = VDC_WAITING;
    r->owed = 1;
    r->form = form;
    r->challenge = challenge;
    r->deadline = deadline;
    r->sent = ++table->sent;
    r->activation = table->activations;
    r->sink = *sink;
    if (table->activation_failed) {
        /* Sent after the failed activation, so it waits on it: the failure
         * read while nothing waited is this request's outcome. */
        table->activation_failed = 0;
        memcpy(r->broker_error, table->activation_error, sizeof r->broker_error);
        end(table, r, VANDREL_ERR_BROKER);
    }
    return r;
}

/* True when `reply` has `form`: the word and line feed, the fixed fields,
 * and at least as many ticket bytes as it announces. */
static int has_form(const unsigned char* reply, size_t len, const struct reply_form* form) {
    return len >= form->header_len && memcmp(reply, form->word, form->word_len) == 0 &&
           reply[form->word_len] == '\n' &&
           (form->len_at == 0 || read_le32(reply + form->len_at) <= len - form->header_len);
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

/* The oldest request of `form` with `challenge` that a reply may still
 * answer (one waiting, or one owed a late answer), or NULL. Compared as
 * unsigned: converting a negative challenge is exact. */
static struct vdc_request* find(struct vdc_requests* table, enum vdc_form form,
                                uint32_t challenge) {
    struct vdc_request* oldest = NULL;
    for (size_t i = 0; i < VANDREL_MAX_PENDING; ++i) {
        struct vdc_request* r = &table->slot[i];
        if (r->phase == VDC_FREE || r->form != form || (uint32_t)r->challenge != challenge ||
            (r->phase != VDC_WAITING && !r->owed))
            continue;
        if (oldest == NULL || r->sent < oldest->sent)
            oldest = r;
    }
    return oldest;
}

/* Records that `r` has its answer: the activations before it have their
 * outcome, and requests sent before it that are still owed an answer will
 * get none (the broker answers in order), so their late answers are no
 * longer waited for. True when `r` still waits, so that the answer ends it. */
static int answered(struct vdc_requests* table, struct vdc_request* r) {
    if (r->activation > table->settled)
        table->settled = r->activation;
    for (size_t i = 0; i < VANDREL_MAX_PENDING; ++i) {
        struct vdc_request* earlier = &table->slot[i];
        if (earlier->phase != VDC_FREE && earlier->owed && earlier->sent < r->sent) {
            earlier->owed = 0;
            free_if_done(earlier);
        }
    }
    r->owed = 0;
    free_if_done(r);
    return r->phase == VDC_WAITING;
}

/* Counts an answer that no request in the table is owed: the late answer of
 * a request dropped to make room. */
static void count_unmatched(struct vdc_requests* table) {
    if (table->forgotten > 0)
        --table->forgotten;
}

/* Copies a well-formed reply's ticket, or status text, into the request's
 * sink, and ends the request. */
static void take_contents(struct vdc_requests* table, struct vdc_request* r,
                          const unsigned char* reply, size_t len) {
    const struct reply_form* form = &REPLY_FORMS[r->form];
    if (form->len_at == 0) {
        size_t n = len - form->header_len;
        memcpy(r->sink.text, reply + form->header_len, n);
        r->sink.text[n] = '\0';
        end(table, r, VANDREL_OK);
        return;
    }
    vandrel_ticket* ticket = r->sink.ticket;
    uint32_t n = read_le32(reply + form->len_at);
    ticket->len = n;
    ticket->steam_id = vandrel_load_le(reply + form->steam_id_at, VANDREL_STEAM_ID_SIZE);
    if (r->sink.handle != NULL && form->handle_at != 0)
        *r->sink.handle = read_le32(reply + form->handle_at);
    if (n > ticket->capacity) {
        end(table, r, VANDREL_ERR_TICKET_TOO_LARGE);
        return;
    }
    if (n > 0)
        memcpy(ticket->data, reply + form->header_len, n);
    end(table, r, VANDREL_OK);
}

/* An activation failed: it is the oldest activation whose outcome is not
 * known, and it ends the requests sent after it and before the next one.
 * With none waiting, the next request sent shows it, unless another
 * activation comes first. */
static void activation_failed(struct vdc_requests* table, const unsigned char* reply, size_t len) {
    uint64_t failed = table->settled < table->activations ? table->settled + 1 : table->activations;
    table->settled = failed;
    int ended_one = 0;
    for (size_t i = 0; i < VANDREL_MAX_PENDING; ++i) {
        struct vdc_request* r = &table->slot[i];
        if (r->phase == VDC_WAITING && r->activation == failed) {
            keep_error_text(r->broker_error, reply, len);
            end(table, r, VANDREL_ERR_BROKER);
            ended_one = 1;
        }
    }
    if (!ended_one && failed == table->activations) {
        table->activation_failed = 1;
        keep_error_text(table->activation_error, reply, len);
    }
}

/* The failure of a request of `form`: the one with the reply's challenge, or
 * for a failure without one (0: the command failed before its challenge was
 * read), the oldest request still owed an answer when it is of that form. */
static void request_failed(struct vdc_requests* table, enum vdc_form form,
                           const unsigned char* reply, size_t len) {
    uint32_t challenge = read_le32(reply + VANDREL_ERROR_REPLY_CHALLENGE_AT);
    struct vdc_request* r = NULL;
    if (challenge != 0) {
        r = find(table, form, challenge);
    } else if (table->forgotten == 0) {
        r = oldest_owed(table, 0);
        if (r != NULL && r->form != form)
            r = NULL;
    }
    if (r == NULL) {
        count_unmatched(table);
        return;
    }
    if (answered(table, r)) {
        keep_error_text(r->broker_error, reply, len);
        end(table, r, VANDREL_ERR_BROKER);
    }
}

/* An error reply: an activation's failure, a request's own failure, or the
 * failure of a command that waits for nothing (vd_disconnect, vd_cancel),
 * which is discarded. */
static void read_error_reply(struct vdc_requests* table, const unsigned char* reply, size_t len) {
    for (size_t i = 0; i < ACTIVATE_WORD_COUNT; ++i) {
        if (is_failure_of(reply, len, ACTIVATE_WORDS[i])) {
            activation_failed(table, reply, len);
            return;
        }
    }
    for (size_t f = 0; f < VDC_FORM_COUNT; ++f) {
        if (is_failure_of(reply, len, REPLY_FORMS[f].word)) {
            request_failed(table, (enum vdc_form)f, reply, len);
            return;
        }
    }
}

/* A reply of no known form answers the oldest request owed one (the broker
 * answers in order) and ends it with VANDREL_ERR_PROTOCOL. */
static void read_malformed(struct vdc_requests* table) {
    struct vdc_request* r = oldest_owed(table, 0);
    if (r != NULL && answered(table, r))
        end(table, r, VANDREL_ERR_PROTOCOL);
}

void vdc_read_reply(struct vdc_requests* table, const unsigned char* reply, size_t len) {
    if (is_error_reply(reply, len)) {
        read_error_reply(table, reply, len);
        return;
    }
    for (size_t f = 0; f < VDC_FORM_COUNT; ++f) {
        const struct reply_form* form = &REPLY_FORMS[f];
        if (!has_form(reply, len, form))
            continue;
        struct vdc_request* r =
            find(table, (enum vdc_form)f, read_le32(reply + form->word_len + 1));
        if (r == NULL)
            count_unmatched(table);
        else if (answered(table, r))
            take_contents(table, r, reply, len);
        return;
    }
    read_malformed(table);
}

void vdc_expire(struct vdc_requests* table, int64_t now) {
    for (size_t i = 0; i < VANDREL_MAX_PENDING; ++i) {
        struct vdc_request* r = &table->slot[i];
        if (r->phase == VDC_WAITING && r->deadline != VDC_NO_DEADLINE && r->deadline <= now)
            end(table, r, VANDREL_ERR_TIMEOUT);
    }
}

void vdc_end_all(struct vdc_requests* table, vandrel_status status, int os_error) {
    for (size_t i = 0; i < VANDREL_MAX_PENDING; ++i) {
        struct vdc_request* r = &table->slot[i];
        if (r->phase == VDC_FREE)
            continue;
        r->owed = 0;
        if (r->phase == VDC_WAITING) {
            r->os_error = os_error;
            end(table, r, status);
        }
        free_if_done(r);
    }
}

struct vdc_request* vdc_first_ended(struct vdc_requests* table) {
    struct vdc_request* first = NULL;
    for (size_t i = 0; i < VANDREL_MAX_PENDING; ++i) {
        struct vdc_request* r = &table->slot[i];
        if (r->phase == VDC_ENDED && (first == NULL || r->ended < first->ended))
            first = r;
    }
    return first;
}

int vdc_any_ended(const struct vdc_requests* table) {
    for (size_t i = 0; i < VANDREL_MAX_PENDING; ++i)
        if (table->slot[i].phase == VDC_ENDED)
            return 1;
    return 0;
}

void vdc_hand_over(struct vdc_request* request) {
    request->phase = VDC_HANDED;
    free_if_done(request);
}

int64_t vdc_next_deadline(const struct vdc_requests* table) {
    int64_t next = VDC_NO_DEADLINE;
    for (size_t i = 0; i < VANDREL_MAX_PENDING; ++i) {
        const struct vdc_request* r = &table->slot[i];
        if (r->phase == VDC_WAITING && r->deadline != VDC_NO_DEADLINE &&
            (next == VDC_NO_DEADLINE || r->deadline < next))
            next = r->deadline;
    }
    return next;
}
