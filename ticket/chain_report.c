/* Recording the steps of `vandrel-ticket --check` and printing them. Texts
 * from outside (paths, the broker's reasons) are printed so that each step
 * stays on its line and the JSON stays valid: control characters escaped,
 * bytes that are not UTF-8 replaced. */
#include "chain_report.h"

#include "common/utf8.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

/* The marks at the start of a step's line, padded to one width. */
static const char PASS_MARK[] = "ok  ";
static const char FAIL_MARK[] = "FAIL";
/* Under a failed step's line, aligned with its name. */
static const char HINT_PREFIX[] = "     hint: ";
/* U+FFFD, in place of each byte that is not part of a UTF-8 character. */
static const char REPLACEMENT[] = "\xEF\xBF\xBD";
#define FIRST_PRINTABLE 0x20
#define DELETE 0x7F

/* Writes `text` to `out`: as the contents of a JSON string when `json`, else
 * as one line with its control characters as \xNN. */
static void put_text(FILE* out, const char* text, int json) {
    const unsigned char* p = (const unsigned char*)text;
    const unsigned char* end = p + strlen(text);
    while (p < end) {
        vd_utf8_seq seq = vd_utf8_decode(p, (size_t)(end - p));
        size_t len = seq.kind == VD_UTF8_CHAR ? seq.len : 0;
        if (len == 0) {
            fputs(REPLACEMENT, out);
            ++p;
        } else if (len > 1) {
            fwrite(p, 1, len, out);
            p += len;
        } else if (*p < FIRST_PRINTABLE || *p == DELETE) {
            fprintf(out, json ? "\\u%04x" : "\\x%02x", *p++);
        } else if (json && (*p == '"' || *p == '\\')) {
            fputc('\\', out);
            fputc(*p++, out);
        } else {
            fputc(*p++, out);
        }
    }
}

static void print_step(const struct chain_step* step) {
    printf("%s %s: ", step->ok ? PASS_MARK : FAIL_MARK, step->name);
    put_text(stdout, step->detail, 0);
    fputc('\n', stdout);
    if (!step->ok) {
        fputs(HINT_PREFIX, stdout);
        put_text(stdout, step->hint, 0);
        fputc('\n', stdout);
    }
    /* Each step shows as soon as it is known, also through a pipe. */
    fflush(stdout);
}

/* Takes the next step, or NULL when the report is full. */
static struct chain_step* next_step(struct chain_report* report, const char* name, int ok) {
    if (report->count == CHAIN_MAX_STEPS)
        return NULL;
    struct chain_step* step = &report->steps[report->count++];
    step->name = name;
    step->ok = ok;
    step->detail[0] = '\0';
    step->hint[0] = '\0';
    return step;
}

/* Records one step with its detail and, when it failed, its hint; prints it
 * at once unless the report is JSON. */
static void record_step(struct chain_report* report, const char* name, int ok, const char* hint,
                        const char* format, va_list args) {
    struct chain_step* step = next_step(report, name, ok);
    if (step == NULL)
        return;
    vsnprintf(step->detail, sizeof step->detail, format, args);
    if (!ok)
        snprintf(step->hint, sizeof step->hint, "%s", hint);
    if (!report->json)
        print_step(step);
}

void chain_pass(struct chain_report* report, const char* name, const char* format, ...) {
    va_list args;
    va_start(args, format);
    record_step(report, name, 1, "", format, args);
    va_end(args);
}

void chain_fail(struct chain_report* report, const char* name, const char* hint, const char* format,
                ...) {
    va_list args;
    va_start(args, format);
    record_step(report, name, 0, hint, format, args);
    va_end(args);
}

size_t chain_failures(const struct chain_report* report) {
    size_t failed = 0;
    for (size_t i = 0; i < report->count; ++i)
        failed += report->steps[i].ok ? 0 : 1;
    return failed;
}

static void put_json_string(const char* text) {
    fputc('"', stdout);
    put_text(stdout, text, 1);
    fputc('"', stdout);
}

/* The broker's status lines as the members of one JSON object, each value a
 * string. */
static void put_json_status(const char* status) {
    fputc('{', stdout);
    const char* line = status;
    int first = 1;
    while (*line != '\0') {
        size_t len = strcspn(line, "\n");
        size_t key_len = strcspn(line, " \n");
        if (key_len > 0 && key_len < len) {
            char key[CHAIN_TEXT_SIZE];
            char value[CHAIN_STATUS_SIZE];
            snprintf(key, sizeof key, "%.*s", (int)key_len, line);
            snprintf(value, sizeof value, "%.*s", (int)(len - key_len - 1), line + key_len + 1);
            if (!first)
                fputc(',', stdout);
            put_json_string(key);
            fputc(':', stdout);
            put_json_string(value);
            first = 0;
        }
        line += len + (line[len] == '\n' ? 1 : 0);
    }
    fputc('}', stdout);
}

static void print_json(const struct chain_report* report) {
    printf("{\"ok\":%s,\"appid\":%lu,\"broker\":", chain_failures(report) == 0 ? "true" : "false",
           (unsigned long)report->appid);
    put_json_string(report->broker);
    printf(",\"failed\":%lu,\"steps\":[", (unsigned long)chain_failures(report));
    for (size_t i = 0; i < report->count; ++i) {
        const struct chain_step* step = &report->steps[i];
        printf("%s{\"step\":", i == 0 ? "" : ",");
        put_json_string(step->name);
        printf(",\"ok\":%s,\"detail\":", step->ok ? "true" : "false");
        put_json_string(step->detail);
        fputs(",\"hint\":", stdout);
        if (step->ok)
            fputs("null", stdout);
        else
            put_json_string(step->hint);
        fputc('}', stdout);
    }
    fputs("],\"status\":", stdout);
    put_json_status(report->status);
    fputs("}\n", stdout);
}

int chain_finish(const struct chain_report* report) {
    size_t failed = chain_failures(report);
    if (report->json)
        print_json(report);
    else if (failed == 0)
        printf("all %lu checks passed\n", (unsigned long)report->count);
    else
        printf("%lu of %lu checks failed\n", (unsigned long)failed, (unsigned long)report->count);
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : -1;
}
