/* `vandrel-ticket --check`: the broker, Steam for this user, the Steam child
 * for the AppID, what the child loaded, and one ticket of each kind that a
 * game needs, each checked in turn. A step whose link is missing is not run
 * but listed as skipped: without a broker, nothing behind it can be asked. */
#include "chain_check.h"

#include "chain_report.h"
#include "vandrel/client.h"

#include <errno.h>
#include <inttypes.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* How long to wait for a TCP connection to the broker, and for its first
 * status, which it answers at once unless another client's session holds it. */
#define CONNECT_TIMEOUT_MS 10000
/* Where the runtime looks for a running Steam and for Steam's client library,
 * under the user's home directory. */
static const char STEAM_PID_FILE[] = "/.steam/steam.pid";
static const char STEAM_CLIENT_LIBRARY[] = "/.steam/sdk64/steamclient.so";
/* The identity of the web API ticket the check asks for. */
static const char CHECK_IDENTITY[] = "vandrel-check";
/* The game server of the game-connection ticket: an address reserved for
 * documentation (RFC 5737). Steam only writes it into the ticket; nothing
 * connects to it. */
static const char CHECK_SERVER[] = "192.0.2.1:27015";

#define VALUE_SIZE 1024
#define DECIMAL 10

/* The steps that need a ready child, in the order they run, the child's own
 * first; each is skipped when the broker or the child failed. */
enum child_step {
    STEP_CHILD,
    STEP_LOGGED_ON,
    STEP_RUNTIME,
    STEP_RUNTIME_KIND,
    STEP_SESSION_TICKET,
    STEP_WEBAPI_TICKET,
    STEP_CONNECT_TICKET,
    CHILD_STEP_COUNT
};
static const char* const STEP_NAMES[CHILD_STEP_COUNT] = {
    "child",          "logged_on",     "runtime",       "runtime_kind",
    "session_ticket", "webapi_ticket", "connect_ticket"};

/* One run: its options, its report and the link. */
struct run {
    const struct chain_options* options;
    struct chain_report report;
    vandrel_client* client; /* the link: allocated by its open, NULL before */
    int32_t next_challenge;
    int waited_ms; /* the time limit of the last request */
    char status[VANDREL_STATUS_TEXT_SIZE];
    char broker[CHAIN_TEXT_SIZE]; /* how the broker's lines name it */
};

static int32_t take_challenge(struct run* run) {
    int32_t challenge = run->next_challenge;
    /* Wraps as unsigned: a signed overflow would be undefined. */
    run->next_challenge = (int32_t)((uint32_t)challenge + 1U);
    return challenge;
}

/* The value of `key` in status lines "key value\n...", copied into `out`;
 * 0 when the key is not there. */
static int status_value(const char* status, const char* key, char* out, size_t size) {
    size_t key_len = strlen(key);
    for (const char* line = status; *line != '\0';) {
        size_t len = strcspn(line, "\n");
        if (len > key_len && strncmp(line, key, key_len) == 0 && line[key_len] == ' ') {
            snprintf(out, size, "%.*s", (int)(len - key_len - 1), line + key_len + 1);
            return 1;
        }
        line += len + (line[len] == '\n' ? 1 : 0);
    }
    return 0;
}

/* Why a library call failed, in words: the status text, and the broker's own
 * reason or the system's error when there is one. */
static void describe_failure(const struct run* run, vandrel_status status, char* out, size_t size) {
    int err = vandrel_os_error(run->client);
    if (status == VANDREL_ERR_BROKER)
        snprintf(out, size, "%s", vandrel_broker_error(run->client));
    else if (status == VANDREL_ERR_TIMEOUT)
        snprintf(out, size, "no answer within %d ms", run->waited_ms);
    else if (err != 0)
        snprintf(out, size, "%s (%s)", vandrel_status_text(status), strerror(err));
    else
        snprintf(out, size, "%s", vandrel_status_text(status));
}

/* Names the broker in run->broker: the private broker, or the address that
 * answered or was tried, saying when the library chose it. */
static void name_broker(struct run* run) {
    const struct chain_options* o = run->options;
    if (o->spawn != NULL)
        snprintf(run->broker, sizeof run->broker, "a private broker (%s --stdio)", o->spawn);
    else if (o->broker != NULL)
        snprintf(run->broker, sizeof run->broker, "%s", o->broker);
    else
        snprintf(run->broker, sizeof run->broker, "%s (the default address)",
                 vandrel_broker_address(run->client));
}

/* Opens the link; on failure records the broker step. */
static int open_link(struct run* run) {
    const struct chain_options* o = run->options;
    vandrel_status status = o->spawn != NULL
                                ? vandrel_spawn(&run->client, o->spawn, NULL)
                                : vandrel_connect(&run->client, o->broker, CONNECT_TIMEOUT_MS);
    name_broker(run);
    if (status == VANDREL_OK)
        return 1;
    char why[CHAIN_TEXT_SIZE];
    describe_failure(run, status, why, sizeof why);
    const char* hint =
        o->spawn != NULL ? "give --spawn the path of the vandrel program"
        : status == VANDREL_ERR_UNTRUSTED
            ? "another user's program holds the broker's address: stop it, then start your own "
              "broker (systemctl --user start vandrel)"
        : status == VANDREL_ERR_UNCHECKED
            ? "this host cannot tell which user the broker runs as: if it is yours, set "
              "VANDREL_ALLOW_UNCHECKED_BROKER=1"
        : status == VANDREL_ERR_CLOSED
            ? CLOSED_LINK_HINT
            : "start the broker (systemctl --user start vandrel, or vandrel ADDR), or name its "
              "address with --broker";
    chain_fail(&run->report, "broker", hint, "%s: %s", run->report.broker, why);
    return 0;
}

/* Asks the broker for its status lines into run->status, waiting `timeout_ms`. */
static vandrel_status ask_status(struct run* run, int timeout_ms) {
    run->waited_ms = timeout_ms;
    return vandrel_request_broker_status(run->client, take_challenge(run), timeout_ms, run->status,
                                         sizeof run->status);
}

/* The broker answers, runs as this user, and says its version. */
static int check_broker(struct run* run) {
    if (!open_link(run))
        return 0;
    vandrel_status status = ask_status(run, CONNECT_TIMEOUT_MS);
    if (status != VANDREL_OK) {
        char why[CHAIN_TEXT_SIZE];
        describe_failure(run, status, why, sizeof why);
        const char* hint =
            status == VANDREL_ERR_BROKER ? "the broker is older than this vandrel-ticket: install "
                                           "vandrel " VANDREL_VERSION_STRING " and restart it"
            : status == VANDREL_ERR_TIMEOUT
                ? "the broker serves one client at a time, or as many as its --clients: wait "
                  "for another client to finish"
            : status == VANDREL_ERR_CLOSED && run->options->spawn == NULL
                ? CLOSED_LINK_HINT
                : "see the broker's log (journalctl --user -u vandrel)";
        chain_fail(&run->report, "broker", hint, "%s does not answer vd_status: %s",
                   run->report.broker, why);
        return 0;
    }
    snprintf(run->report.status, sizeof run->report.status, "%s", run->status);
    char version[VALUE_SIZE] = "?";
    char uid[VALUE_SIZE] = "?";
    status_value(run->status, VANDREL_STATUS_VERSION, version, sizeof version);
    status_value(run->status, VANDREL_STATUS_UID, uid, sizeof uid);
    char mine[VALUE_SIZE];
    snprintf(mine, sizeof mine, "%lu", (unsigned long)getuid());
    if (strcmp(uid, mine) != 0) {
        chain_fail(&run->report, "broker",
                   "run the broker as your own user (systemctl --user start vandrel): it uses "
                   "the Steam of the user it runs as",
                   "%s runs as uid %s, not as this user (uid %s), version %s", run->report.broker,
                   uid, mine, version);
        return 0;
    }
    chain_pass(&run->report, "broker", "%s answers, runs as this user (uid %s), version %s",
               run->report.broker, uid, version);
    return 1;
}

/* $HOME/.steam/steam.pid names a live process, as the runtime looks for it. */
static void check_steam_running(struct run* run, const char* home) {
    static const char hint[] = "start Steam and log in as this user";
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s%s", home, STEAM_PID_FILE);
    FILE* file = fopen(path, "r");
    if (file == NULL) {
        chain_fail(&run->report, "steam_running", hint, "%s: %s", path, strerror(errno));
        return;
    }
    long pid = 0;
    int read = fscanf(file, "%ld", &pid);
    fclose(file);
    if (read != 1 || pid <= 0 || pid > INT_MAX) {
        chain_fail(&run->report, "steam_running", hint, "%s names no process", path);
        return;
    }
    /* EPERM: the process is there, under another user. */
    if (kill((pid_t)pid, 0) != 0 && errno != EPERM) {
        chain_fail(&run->report, "steam_running", hint,
                   "%s names process %ld, which is not running", path, pid);
        return;
    }
    chain_pass(&run->report, "steam_running", "%s names process %ld, which is running", path, pid);
}

/* Steam's client library is where the runtime loads it from. */
static void check_steam_client(struct run* run, const char* home) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s%s", home, STEAM_CLIENT_LIBRARY);
    struct stat st;
    if (stat(path, &st) != 0) {
        chain_fail(&run->report, "steam_client_library",
                   "start Steam once as this user: it puts its client library there", "%s: %s",
                   path, strerror(errno));
        return;
    }
    chain_pass(&run->report, "steam_client_library", "%s", path);
}

static void check_steam(struct run* run) {
    const char* home = getenv("HOME");
    if (home == NULL || home[0] == '\0') {
        static const char hint[] = "set HOME to this user's home directory";
        chain_fail(&run->report, "steam_running", hint, "HOME is not set");
        chain_fail(&run->report, "steam_client_library", hint, "HOME is not set");
        return;
    }
    check_steam_running(run, home);
    check_steam_client(run, home);
}

/* The hint for a child that did not get ready, by the broker's reason. */
static const char* child_hint(const char* why) {
    if (strstr(why, "failed to initialise") != NULL)
        return "Steam could not start for this AppID: run Steam, log in, let it finish updating; "
               "the broker's log (journalctl --user -u vandrel) holds Steam's own message";
    if (strstr(why, "timed out") != NULL)
        return "Steam did not get ready in time: it may be updating or asking for a login";
    return "see the broker's log (journalctl --user -u vandrel)";
}

/* The child for the AppID gets ready; its status says what it runs on. */
static int check_child(struct run* run) {
    uint32_t appid = run->options->appid;
    vandrel_status status = vandrel_activate_appid(run->client, appid);
    if (status == VANDREL_OK)
        status = ask_status(run, run->options->timeout_ms);
    char steamid[VALUE_SIZE];
    if (status != VANDREL_OK) {
        char why[CHAIN_TEXT_SIZE];
        describe_failure(run, status, why, sizeof why);
        chain_fail(&run->report, STEP_NAMES[STEP_CHILD], child_hint(why), "AppID %" PRIu32 ": %s",
                   appid, why);
        return 0;
    }
    snprintf(run->report.status, sizeof run->report.status, "%s", run->status);
    if (!status_value(run->status, VANDREL_STATUS_STEAMID, steamid, sizeof steamid)) {
        chain_fail(&run->report, STEP_NAMES[STEP_CHILD],
                   "see the broker's log (journalctl --user -u vandrel)",
                   "AppID %" PRIu32 ": the broker has no ready child", appid);
        return 0;
    }
    chain_pass(&run->report, STEP_NAMES[STEP_CHILD], "AppID %" PRIu32 " ready, steamid %s", appid,
               steamid);
    return 1;
}

/* logged_on, runtime and runtime_kind from the child's status. */
static void check_runtime(struct run* run) {
    char value[VALUE_SIZE] = "";
    status_value(run->status, VANDREL_STATUS_LOGGED_ON, value, sizeof value);
    if (strcmp(value, VANDREL_STATUS_YES) == 0)
        chain_pass(&run->report, STEP_NAMES[STEP_LOGGED_ON], "yes");
    else
        chain_fail(&run->report, STEP_NAMES[STEP_LOGGED_ON],
                   "log in to Steam as this user, and leave offline mode",
                   "%s: Steam is not logged in", value);

    char runtime[VALUE_SIZE] = "";
    status_value(run->status, VANDREL_STATUS_RUNTIME, runtime, sizeof runtime);
    if (runtime[0] == '/')
        chain_pass(&run->report, STEP_NAMES[STEP_RUNTIME], "%s", runtime);
    else
        chain_fail(&run->report, STEP_NAMES[STEP_RUNTIME],
                   "see the broker's log (journalctl --user -u vandrel)",
                   "the child names no runtime path: \"%s\"", runtime);

    status_value(run->status, VANDREL_STATUS_RUNTIME_KIND, value, sizeof value);
    if (strcmp(value, VANDREL_RUNTIME_KIND_STEAM) == 0) {
        chain_pass(&run->report, STEP_NAMES[STEP_RUNTIME_KIND], "%s", value);
        return;
    }
    /* The hint names the directory the child loaded the stand-in from. */
    char hint[CHAIN_TEXT_SIZE];
    const char* slash = strrchr(runtime, '/');
    int dir_len = slash != NULL ? (int)(slash - runtime) : 0;
    snprintf(hint, sizeof hint,
             "install Steam's runtime in its place: scripts/fetch-steam-runtime %.*s (or copy "
             "the Steamworks SDK's libsteam_api.so there), then restart the broker; see the "
             "README, \"Using Steam's real runtime\"",
             dir_len > 0 ? dir_len : 1, dir_len > 0 ? runtime : "DIR");
    if (strcmp(value, VANDREL_RUNTIME_KIND_STANDIN) == 0)
        chain_fail(&run->report, STEP_NAMES[STEP_RUNTIME_KIND], hint,
                   "%s: vandrel's stand-in runtime, not Steam; no server accepts its tickets",
                   value);
    else
        chain_fail(&run->report, STEP_NAMES[STEP_RUNTIME_KIND], hint, "\"%s\": not Steam's runtime",
                   value);
}

/* The step `name` failed because no ticket came: `status` says why. */
static void fail_ticket_step(struct run* run, const char* name, vandrel_status status) {
    char why[CHAIN_TEXT_SIZE];
    describe_failure(run, status, why, sizeof why);
    chain_fail(&run->report, name,
               "Steam refused this account a ticket for the AppID: is it logged in, and may it "
               "play the game? (AppID 480 is open to every account)",
               "%s", why);
}

/* A session ticket (for no identity) and a web API ticket (for
 * CHECK_IDENTITY), each cancelled once it came. */
static void check_auth_ticket(struct run* run, const char* name, vandrel_ticket_kind kind,
                              const char* identity) {
    unsigned char buf[VANDREL_MAX_AUTH_TICKET_LEN];
    vandrel_ticket ticket = {buf, sizeof buf, 0, 0};
    vandrel_auth_request request = {kind, identity, NULL, 0, take_challenge(run)};
    uint32_t handle = 0;
    run->waited_ms = run->options->timeout_ms;
    vandrel_status status = vandrel_request_auth_ticket(run->client, &request,
                                                        run->options->timeout_ms, &ticket, &handle);
    if (status != VANDREL_OK) {
        fail_ticket_step(run, name, status);
        return;
    }
    status = vandrel_cancel_ticket(run->client, handle);
    if (status != VANDREL_OK) {
        char why[CHAIN_TEXT_SIZE];
        describe_failure(run, status, why, sizeof why);
        chain_fail(&run->report, name, "see the broker's log (journalctl --user -u vandrel)",
                   "%lu bytes, handle %" PRIu32 ", not cancelled: %s", (unsigned long)ticket.len,
                   handle, why);
        return;
    }
    chain_pass(&run->report, name, "%lu bytes%s%s, handle %" PRIu32 ", cancelled",
               (unsigned long)ticket.len, identity != NULL ? " for identity " : "",
               identity != NULL ? identity : "", handle);
}

/* A game-connection ticket for CHECK_SERVER, ended once it came. */
static void check_connect_ticket(struct run* run) {
    const char* name = STEP_NAMES[STEP_CONNECT_TICKET];
    unsigned char buf[VANDREL_MAX_TICKET_LEN];
    vandrel_ticket ticket = {buf, sizeof buf, 0, 0};
    vandrel_ticket_request request = {CHECK_SERVER, 0, 0, take_challenge(run)};
    run->waited_ms = run->options->timeout_ms;
    vandrel_status status =
        vandrel_request_ticket(run->client, &request, run->options->timeout_ms, &ticket);
    if (status == VANDREL_OK)
        status = vandrel_end_ticket(run->client, CHECK_SERVER, request.challenge);
    if (status != VANDREL_OK) {
        fail_ticket_step(run, name, status);
        return;
    }
    chain_pass(&run->report, name, "%lu bytes for %s, ended", (unsigned long)ticket.len,
               CHECK_SERVER);
}

/* Lists the steps from `first` on as not run, because `failed` failed. */
static void skip_steps(struct run* run, enum child_step first, const char* failed) {
    for (int step = first; step < CHILD_STEP_COUNT; ++step)
        chain_skip(&run->report, STEP_NAMES[step], "not run: the %s step failed", failed);
}

int chain_check(const struct chain_options* options) {
    static struct run run; /* large buffers: kept off the stack */
    memset(&run, 0, sizeof run);
    run.options = options;
    run.client = NULL;
    run.next_challenge = options->challenge;
    run.report.json = options->json;
    run.report.appid = options->appid;
    run.report.broker = run.broker;

    int broker_ok = check_broker(&run);
    check_steam(&run);
    if (!broker_ok) {
        skip_steps(&run, STEP_CHILD, "broker");
    } else if (!check_child(&run)) {
        skip_steps(&run, STEP_LOGGED_ON, STEP_NAMES[STEP_CHILD]);
    } else {
        check_runtime(&run);
        check_auth_ticket(&run, STEP_NAMES[STEP_SESSION_TICKET], VANDREL_TICKET_SESSION, NULL);
        check_auth_ticket(&run, STEP_NAMES[STEP_WEBAPI_TICKET], VANDREL_TICKET_WEBAPI,
                          CHECK_IDENTITY);
        check_connect_ticket(&run);
    }
    /* Whatever the broker still holds ends with the link. */
    (void)vandrel_close(run.client);
    if (chain_finish(&run.report) != 0)
        return 1;
    return chain_failures(&run.report) == 0 ? 0 : CHAIN_EXIT_FAILED;
}
