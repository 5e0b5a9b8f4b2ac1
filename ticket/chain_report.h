/* The steps of `vandrel-ticket --check` and how they are shown: one line per
 * step as it is recorded (and a hint line under a failure), or, with --json,
 * one JSON object at the end. A step that could not run is listed as skipped,
 * with the reason. */
#ifndef VANDREL_TICKET_CHAIN_REPORT_H
#define VANDREL_TICKET_CHAIN_REPORT_H

#include <stddef.h>
#include <stdint.h>

/* The most steps one run records. */
#define CHAIN_MAX_STEPS 12
/* Room for a step's detail or hint; longer texts are cut. */
#define CHAIN_TEXT_SIZE 768
/* Room for the broker's status text: a whole reply frame's worth. */
#define CHAIN_STATUS_SIZE 4097

/* What became of a step. */
enum chain_result { CHAIN_PASSED, CHAIN_FAILED, CHAIN_SKIPPED };

struct chain_step {
    const char* name; /* a fixed word: "broker", "steam_running", ... */
    enum chain_result result;
    char detail[CHAIN_TEXT_SIZE]; /* for a skipped step, why it did not run */
    char hint[CHAIN_TEXT_SIZE];   /* empty but for a failed step */
};

struct chain_report {
    int json;           /* print one JSON object at the end instead of lines */
    uint32_t appid;     /* the AppID the run checks */
    const char* broker; /* how the broker was reached, as the lines name it */
    struct chain_step steps[CHAIN_MAX_STEPS];
    size_t count;
    /* The broker's last "key value" status lines; empty until it answered. */
    char status[CHAIN_STATUS_SIZE];
};

/* Records a step that passed, its detail formatted like printf. */
__attribute__((format(printf, 3, 4))) void chain_pass(struct chain_report* report, const char* name,
                                                      const char* format, ...);

/* Records a failed step with its one-line `hint` of the fix, its reason
 * formatted like printf. */
__attribute__((format(printf, 4, 5))) void chain_fail(struct chain_report* report, const char* name,
                                                      const char* hint, const char* format, ...);

/* Records a step that did not run because a step before it failed, its
 * reason (which step) formatted like printf. */
__attribute__((format(printf, 3, 4))) void chain_skip(struct chain_report* report, const char* name,
                                                      const char* format, ...);

/* How many recorded steps failed. */
size_t chain_failures(const struct chain_report* report);

/* Ends the report on standard output: the summary line (how many checks
 * failed, and were skipped), or the JSON object. Returns 0, or -1 when
 * standard output could not be written. */
int chain_finish(const struct chain_report* report);

#endif
