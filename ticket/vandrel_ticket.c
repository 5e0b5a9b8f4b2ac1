/* vandrel-ticket: obtain one auth ticket from a vandrel broker and print it,
 * or check every link from this user to a ticket (--check). A diagnostic tool
 * on top of the client library. */
#include "chain_check.h"
#include "common/grammar.h"
#include "vandrel/client.h"

#include <errno.h>
#include <getopt.h>
#include <inttypes.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* Exit statuses, as documented in the usage text. */
enum {
    EXIT_OK = 0,
    EXIT_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_NO_BROKER = 3,
    EXIT_NO_TICKET = 4,
    EXIT_LINK = 5,
    EXIT_BROKER_ERROR = 6,
    EXIT_UNTRUSTED = 7,
    EXIT_UNCHECKED = 8,
    EXIT_CHECK_FAILED = CHAIN_EXIT_FAILED /* --check: a step failed */
};

/* How long to wait for a TCP connection to the broker. */
#define CONNECT_TIMEOUT_MS 10000

static const char USAGE[] =
    "usage: vandrel-ticket [--broker ADDR | --spawn PATH] (--gamedir NAME | --appid N)\n"
    "                      [--kind connect] --server A.B.C.D:PORT [--server-steamid ID]\n"
    "                      [--secure N] [--challenge N] [--timeout-ms N] [--raw]\n"
    "       vandrel-ticket [--broker ADDR | --spawn PATH] (--gamedir NAME | --appid N)\n"
    "                      --kind session|webapi|app [--identity TEXT | --data HEX]\n"
    "                      [--challenge N] [--timeout-ms N] [--raw]\n"
    "       vandrel-ticket [--broker ADDR | --spawn PATH] --check [--appid N] [--json]\n"
    "                      [--timeout-ms N]\n"
    "       vandrel-ticket --help | --version\n"
    "\n"
    "Asks a vandrel broker for a Steam auth ticket and prints \"steamid ID\", for\n"
    "the session, webapi and app kinds \"handle H\", and \"ticket HEX\" lines. The\n"
    "ticket is ended when the tool exits.\n"
    "\n"
    "With --check it checks, one line each, whether real tickets will come: the\n"
    "broker (reachable, this user's, its version), Steam for this user\n"
    "($HOME/.steam/steam.pid names a running process; $HOME/.steam/sdk64/\n"
    "steamclient.so is there), the Steam child for the AppID (ready, its Steam\n"
    "ID), logged_on, the runtime the child loaded and its kind (Steam's, or\n"
    "vandrel's stand-in), and a session, a web API and a game-connection ticket\n"
    "(for 192.0.2.1:27015, which is never contacted), each ended again. Each step\n"
    "prints \"ok\" or \"FAIL\" with the reason, and a failure a hint of the fix.\n"
    "\n"
    "  --broker ADDR        broker to connect to, HOST:PORT or unix:PATH (default:\n"
    "                       $VANDREL_BROKER, else $XDG_RUNTIME_DIR/vandrel/socket\n"
    "                       if it exists, else " VANDREL_DEFAULT_BROKER_ADDR ")\n"
    "  --spawn PATH         start a private broker, PATH --stdio, instead\n"
    "  --gamedir NAME       the game directory, e.g. cstrike\n"
    "  --appid N            the game's Steam AppID, 1 to 4294967295, instead\n"
    "  --kind KIND          connect: a game-connection ticket for --server (default);\n"
    "                       session: a session ticket (GetAuthSessionTicket);\n"
    "                       webapi: a web API ticket (GetAuthTicketForWebApi);\n"
    "                       app: an encrypted app ticket\n"
    "  --identity TEXT      session: whom the ticket is for, in Steam's form\n"
    "                       (steamid:ID, ip:A.B.C.D:PORT, str:TEXT); webapi: the\n"
    "                       service's identity (default: none)\n"
    "  --data HEX           app: the data the ticket carries, 1 to 1024 bytes in\n"
    "                       hex (default: none)\n"
    "  --server ADDR        the game server, a.b.c.d:port\n"
    "  --server-steamid ID  the game server's Steam ID (default 0)\n"
    "  --secure N           the server's secure flag (default 0)\n"
    "  --challenge N        the challenge, a signed 32-bit number (default: fresh)\n"
    "  --timeout-ms N       how long to wait for the ticket (default 30000)\n"
    "  --raw                write the raw ticket bytes to standard output and the\n"
    "                       Steam ID and handle lines to standard error\n"
    "  --check              check the chain from this user to a ticket (above);\n"
    "                       --appid defaults to 480, Steam's example game\n"
    "  --json               with --check: print the steps as one JSON object\n"
    "  --help               show this text\n"
    "  --version            show the version of vandrel-ticket and its library\n"
    "\n"
    "Exit status: 0 ticket printed, 2 usage error, 3 cannot connect to or start\n"
    "the broker, 4 no ticket in time (Steam still starting; from a broker without\n"
    "error replies also: unknown game, Steam refused or not running), 5 the link\n"
    "failed or the broker sent a malformed reply, 6 the broker reported why there\n"
    "is no ticket (unknown game, Steam not running, Steam refused), printed as\n"
    "\"vandrel-ticket: no ticket: the broker reported an error: REASON\", 7 the\n"
    "broker at ADDR runs as another user (nothing was sent to it), 8 the user of\n"
    "the broker at ADDR cannot be told here, as the kernel's socket table cannot\n"
    "be asked (nothing was sent to it; use the broker's Unix socket, or set\n"
    "VANDREL_ALLOW_UNCHECKED_BROKER=1 to use it all the same), 9 --check: a step\n"
    "failed.\n";

struct options {
    const char* broker;
    const char* spawn;
    const char* gamedir;
    uint32_t appid;
    int kind; /* 0: connect, else a vandrel_ticket_kind */
    const char* identity;
    const char* data_hex;
    unsigned char data[VANDREL_MAX_APP_DATA_LEN];
    size_t data_len;
    const char* server;
    uint64_t server_steam_id;
    int32_t secure;
    int32_t challenge;
    int have_challenge;
    int timeout_ms;
    int raw;
    int help;
    int version;
    int check;
    int json;
    /* The first option given that only a ticket request takes, or NULL. */
    const char* ticket_option;
};

/* What getopt_long returns for each option: -h is the one short option; the
 * long ones are numbered above every character, so that an error's optopt
 * tells a long option from a short one. */
enum option_code {
    OPT_SHORT_HELP = 'h',
    OPT_HELP = UCHAR_MAX + 1,
    OPT_VERSION,
    OPT_RAW,
    OPT_BROKER,
    OPT_SPAWN,
    OPT_GAMEDIR,
    OPT_SERVER,
    OPT_SERVER_STEAMID,
    OPT_SECURE,
    OPT_CHALLENGE,
    OPT_TIMEOUT_MS,
    OPT_APPID,
    OPT_KIND,
    OPT_IDENTITY,
    OPT_DATA,
    OPT_CHECK,
    OPT_JSON
};

/* '+': the first argument that is not an option ends the options, and is an
 * error; ':': a missing value is told apart from an unknown option. */
static const char SHORT_OPTIONS[] = "+:h";
static const struct option LONG_OPTIONS[] = {
    {"help", no_argument, NULL, OPT_HELP},
    {"version", no_argument, NULL, OPT_VERSION},
    {"raw", no_argument, NULL, OPT_RAW},
    {"broker", required_argument, NULL, OPT_BROKER},
    {"spawn", required_argument, NULL, OPT_SPAWN},
    {"gamedir", required_argument, NULL, OPT_GAMEDIR},
    {"server", required_argument, NULL, OPT_SERVER},
    {"server-steamid", required_argument, NULL, OPT_SERVER_STEAMID},
    {"secure", required_argument, NULL, OPT_SECURE},
    {"challenge", required_argument, NULL, OPT_CHALLENGE},
    {"timeout-ms", required_argument, NULL, OPT_TIMEOUT_MS},
    {"appid", required_argument, NULL, OPT_APPID},
    {"kind", required_argument, NULL, OPT_KIND},
    {"identity", required_argument, NULL, OPT_IDENTITY},
    {"data", required_argument, NULL, OPT_DATA},
    {"check", no_argument, NULL, OPT_CHECK},
    {"json", no_argument, NULL, OPT_JSON},
    {NULL, 0, NULL, 0},
};

#define DECIMAL 10

/* Prints "vandrel-ticket: " and the formatted message, then the hint; returns
 * EXIT_USAGE. */
__attribute__((format(printf, 1, 2))) static int usage_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("vandrel-ticket: ", stderr);
    vfprintf(stderr, format, args);
    va_end(args);
    fputs("\nTry 'vandrel-ticket --help'.\n", stderr);
    return EXIT_USAGE;
}

static int parse_i32(const char* text, int32_t* out) {
    char* end = NULL;
    errno = 0;
    long long value = strtoll(text, &end, DECIMAL);
    if (end == text || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        return 0;
    *out = (int32_t)value;
    return 1;
}

/* The kinds that --kind names, by their vandrel_ticket_kind (0: connect). */
static const char* const KIND_NAMES[] = {"connect", "session", "webapi", "app"};
#define KIND_COUNT 4
#define KIND_CONNECT 0

static int parse_kind(const char* text, int* out) {
    for (int i = 0; i < KIND_COUNT; ++i) {
        if (strcmp(text, KIND_NAMES[i]) == 0) {
            *out = i;
            return 1;
        }
    }
    return 0;
}

/* The long name of the option with `code`. */
static const char* option_name(int code) {
    const struct option* option = LONG_OPTIONS;
    while (option->name != NULL && option->val != code)
        ++option;
    return option->name != NULL ? option->name : "?";
}

/* Reports the option that getopt_long refused with '?': one it does not
 * know, an ambiguous abbreviation, or a value given to an option without one.
 * A long option is named as it was written, without its value. */
static int unknown_option(char** argv) {
    if (optopt != 0 && optopt < OPT_HELP)
        return usage_error("unknown option: -%c", optopt);
    const char* written = argv[optind - 1];
    return usage_error("unknown option: %.*s", (int)strcspn(written, "="), written);
}

/* True for the options that only a ticket request takes, not --check. */
static int is_ticket_option(int code) {
    switch (code) {
    case OPT_GAMEDIR:
    case OPT_KIND:
    case OPT_IDENTITY:
    case OPT_DATA:
    case OPT_SERVER:
    case OPT_SERVER_STEAMID:
    case OPT_SECURE:
    case OPT_RAW:
        return 1;
    default:
        return 0;
    }
}

/* Takes the option `code` with its `value` into `o`; EXIT_OK or EXIT_USAGE
 * after a message. A later option overrides an earlier one. */
static int take_option(struct options* o, int code, const char* value) {
    int32_t ms = 0;
    if (o->ticket_option == NULL && is_ticket_option(code))
        o->ticket_option = option_name(code);
    switch (code) {
    case OPT_SHORT_HELP:
    case OPT_HELP:
        o->help = 1;
        break;
    case OPT_VERSION:
        o->version = 1;
        break;
    case OPT_RAW:
        o->raw = 1;
        break;
    case OPT_BROKER:
        o->broker = value;
        break;
    case OPT_SPAWN:
        o->spawn = value;
        break;
    case OPT_GAMEDIR:
        o->gamedir = value;
        break;
    case OPT_SERVER:
        o->server = value;
        break;
    case OPT_SERVER_STEAMID:
        if (!vd_parse_decimal(value, strlen(value), UINT64_MAX, &o->server_steam_id))
            return usage_error("invalid --server-steamid: %s", value);
        break;
    case OPT_SECURE:
        if (!parse_i32(value, &o->secure))
            return usage_error("invalid --secure: %s", value);
        break;
    case OPT_CHALLENGE:
        if (!parse_i32(value, &o->challenge))
            return usage_error("invalid --challenge: %s", value);
        o->have_challenge = 1;
        break;
    case OPT_TIMEOUT_MS:
        if (!parse_i32(value, &ms) || ms < 0)
            return usage_error("invalid --timeout-ms: %s", value);
        o->timeout_ms = (int)ms;
        break;
    case OPT_APPID:
        if (!vd_parse_appid(value, strlen(value), &o->appid))
            return usage_error("invalid --appid: %s", value);
        break;
    case OPT_KIND:
        if (!parse_kind(value, &o->kind))
            return usage_error("invalid --kind: %s", value);
        break;
    case OPT_IDENTITY:
        o->identity = value;
        break;
    case OPT_DATA:
        if (!vd_parse_app_data(value, strlen(value), o->data, &o->data_len))
            return usage_error("invalid --data: %s", value);
        o->data_hex = value;
        break;
    case OPT_CHECK:
        o->check = 1;
        break;
    case OPT_JSON:
        o->json = 1;
        break;
    }
    return EXIT_OK;
}

/* The checks that need every option: what is required, what excludes what. */
static int check_options(const struct options* o) {
    if (o->broker != NULL && o->spawn != NULL)
        return usage_error("--broker and --spawn exclude each other");
    if (o->json && !o->check)
        return usage_error("--json is for --check");
    if (o->check)
        return o->ticket_option == NULL ? EXIT_OK
                                        : usage_error("--%s is not for --check", o->ticket_option);
    if (o->gamedir != NULL && o->appid != 0)
        return usage_error("--gamedir and --appid exclude each other");
    if (o->gamedir == NULL && o->appid == 0)
        return usage_error("--gamedir or --appid is required");
    if (o->gamedir != NULL && vandrel_check_gamedir(o->gamedir) != VANDREL_OK)
        return usage_error("invalid --gamedir: %s", o->gamedir);
    if (o->identity != NULL && o->kind != VANDREL_TICKET_SESSION &&
        o->kind != VANDREL_TICKET_WEBAPI)
        return usage_error("--identity is for --kind session or webapi");
    /* Not echoed: what makes it invalid may be a control character. */
    if (o->identity != NULL && vandrel_check_identity(o->identity) != VANDREL_OK)
        return usage_error("invalid --identity: it must be 1 to %d bytes of UTF-8 without spaces "
                           "or control characters",
                           VANDREL_MAX_IDENTITY_LEN);
    if (o->data_hex != NULL && o->kind != VANDREL_TICKET_APP)
        return usage_error("--data is for --kind app");
    if (o->kind != KIND_CONNECT)
        return EXIT_OK;
    if (o->server == NULL)
        return usage_error("--server is required");
    if (vandrel_check_server(o->server) != VANDREL_OK)
        return usage_error("invalid --server: %s", o->server);
    return EXIT_OK;
}

/* Fills `o` from the command line; EXIT_OK or EXIT_USAGE after a message.
 * --help and --version end the parsing: what follows them is not looked at. */
static int parse_options(int argc, char** argv, struct options* o) {
    opterr = 0; /* the messages are the tool's own */
    for (;;) {
        int code = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, NULL);
        if (code == -1)
            break;
        if (code == ':')
            return usage_error("missing value for: --%s", option_name(optopt));
        if (code == '?')
            return unknown_option(argv);
        int taken = take_option(o, code, optarg);
        if (taken != EXIT_OK || o->help || o->version)
            return taken;
    }
    if (optind < argc)
        return usage_error("unexpected argument: %s", argv[optind]);
    return check_options(o);
}

/* A challenge that differs from run to run. */
static int32_t fresh_challenge(void) {
    /* Knuth's multiplicative hash: 2^32 divided by the golden ratio. */
    static const uint32_t golden = 2654435761U;
    static const unsigned pid_shift = 16;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint32_t mixed =
        (uint32_t)ts.tv_nsec ^ (uint32_t)ts.tv_sec * golden ^ (uint32_t)getpid() << pid_shift;
    return (int32_t)(mixed & INT32_MAX);
}

/* Prints "vandrel-ticket: ", `what` failed (unless NULL), and why; under a
 * socket that the broker closed, the hint why it may have. */
static void report(const struct options* o, const char* what, const vandrel_client* client,
                   vandrel_status status) {
    int err = vandrel_os_error(client);
    fputs("vandrel-ticket: ", stderr);
    if (what != NULL)
        fprintf(stderr, "%s: ", what);
    if (status == VANDREL_ERR_BROKER)
        fprintf(stderr, "%s: %s\n", vandrel_status_text(status), vandrel_broker_error(client));
    else if (err != 0)
        fprintf(stderr, "%s (%s)\n", vandrel_status_text(status), strerror(err));
    else
        fprintf(stderr, "%s\n", vandrel_status_text(status));
    if (status == VANDREL_ERR_CLOSED && o->spawn == NULL)
        fputs("vandrel-ticket: hint: " CLOSED_LINK_HINT "\n", stderr);
}

/* What failed when the link did not open; NULL where the status text says
 * it already ("cannot connect to the broker", "cannot start the broker"). */
static const char* open_failure(const struct options* o, vandrel_status status) {
    if (status == VANDREL_ERR_CONNECT || status == VANDREL_ERR_SPAWN)
        return NULL;
    return o->spawn != NULL ? "cannot start the broker" : "cannot connect";
}

static int exit_status_for(vandrel_status status) {
    switch (status) {
    case VANDREL_OK:
        return EXIT_OK;
    case VANDREL_ERR_ARGUMENT:
        return EXIT_USAGE;
    case VANDREL_ERR_CONNECT:
    case VANDREL_ERR_SPAWN:
        return EXIT_NO_BROKER;
    case VANDREL_ERR_TIMEOUT:
        return EXIT_NO_TICKET;
    case VANDREL_ERR_UNTRUSTED:
        return EXIT_UNTRUSTED;
    case VANDREL_ERR_UNCHECKED:
        return EXIT_UNCHECKED;
    case VANDREL_ERR_BROKER:
        return EXIT_BROKER_ERROR;
    default:
        return EXIT_LINK;
    }
}

static int print_ticket(const struct options* o, const vandrel_ticket* ticket, uint32_t handle) {
    FILE* id_out = o->raw ? stderr : stdout;
    fprintf(id_out, "steamid %" PRIu64 "\n", ticket->steam_id);
    if (o->kind != KIND_CONNECT)
        fprintf(id_out, "handle %" PRIu32 "\n", handle);
    if (o->raw) {
        if (ticket->len > 0 && fwrite(ticket->data, 1, ticket->len, stdout) != ticket->len)
            return EXIT_FAILED;
    } else {
        char hex[2 * VANDREL_MAX_FRAME_PAYLOAD + 1];
        vd_hex_encode(ticket->data, ticket->len, hex);
        printf("ticket %s\n", hex);
    }
    return fflush(stdout) == 0 ? EXIT_OK : EXIT_FAILED;
}

/* --check, with the options it takes. */
static int run_check(const struct options* o) {
    struct chain_options check = {
        o->broker,     o->spawn, o->appid != 0 ? o->appid : CHAIN_DEFAULT_APPID,
        o->timeout_ms, o->json,  o->have_challenge ? o->challenge : fresh_challenge()};
    return chain_check(&check);
}

int main(int argc, char** argv) {
    struct options o;
    memset(&o, 0, sizeof o);
    o.timeout_ms = VANDREL_FIRST_TICKET_TIMEOUT_MS;
    int parsed = parse_options(argc, argv, &o);
    if (parsed != EXIT_OK)
        return parsed;
    if (o.help) {
        fputs(USAGE, stdout);
        return EXIT_OK;
    }
    if (o.version) {
        printf("vandrel-ticket %s\n", vandrel_version());
        return fflush(stdout) == 0 ? EXIT_OK : EXIT_FAILED;
    }
    if (o.check)
        return run_check(&o);

    vandrel_client* client = NULL;
    vandrel_status status = o.spawn != NULL
                                ? vandrel_spawn(&client, o.spawn, NULL)
                                : vandrel_connect(&client, o.broker, CONNECT_TIMEOUT_MS);
    if (status != VANDREL_OK) {
        report(&o, open_failure(&o, status), client, status);
        (void)vandrel_close(client);
        return exit_status_for(status);
    }

    vandrel_ticket_request request;
    request.server = o.server;
    request.server_steam_id = o.server_steam_id;
    request.secure = o.secure;
    request.challenge = o.have_challenge ? o.challenge : fresh_challenge();

    unsigned char buf[VANDREL_MAX_FRAME_PAYLOAD];
    vandrel_ticket ticket;
    ticket.data = buf;
    ticket.capacity = sizeof buf;
    ticket.len = 0;
    ticket.steam_id = 0;

    vandrel_auth_request auth;
    auth.kind = (vandrel_ticket_kind)o.kind;
    auth.identity = o.identity;
    auth.data = o.data;
    auth.data_len = o.data_len;
    auth.challenge = request.challenge;
    uint32_t handle = 0;

    int exit_status = EXIT_OK;
    status = o.gamedir != NULL ? vandrel_activate_gamedir(client, o.gamedir)
                               : vandrel_activate_appid(client, o.appid);
    if (status != VANDREL_OK) {
        report(&o,
               o.gamedir != NULL ? "cannot activate the game directory"
                                 : "cannot activate the AppID",
               client, status);
        exit_status = exit_status_for(status);
    }
    if (exit_status == EXIT_OK) {
        status = o.kind == KIND_CONNECT
                     ? vandrel_request_ticket(client, &request, o.timeout_ms, &ticket)
                     : vandrel_request_auth_ticket(client, &auth, o.timeout_ms, &ticket, &handle);
        if (status != VANDREL_OK) {
            report(&o, "no ticket", client, status);
            exit_status = exit_status_for(status);
        }
    }
    if (exit_status == EXIT_OK) {
        exit_status = print_ticket(&o, &ticket, handle);
        /* A session or web API ticket ends when the link closes. */
        if (o.kind == KIND_CONNECT)
            (void)vandrel_end_ticket(client, o.server, request.challenge);
    }
    vandrel_status closed = vandrel_close(client);
    if (closed != VANDREL_OK && exit_status == EXIT_OK) {
        report(&o, "closing", NULL, closed);
        exit_status = exit_status_for(closed);
    }
    return exit_status;
}
