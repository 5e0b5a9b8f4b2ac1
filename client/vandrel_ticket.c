/* vandrel-ticket: obtain one auth ticket from a vandrel broker and print it.
 * A diagnostic tool on top of the client library. */
#define _POSIX_C_SOURCE 200809L

#include "vandrel/client.h"

#include <errno.h>
#include <inttypes.h>
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
    EXIT_UNTRUSTED = 7
};

/* How long to wait for a TCP connection to the broker. */
#define CONNECT_TIMEOUT_MS 10000

static const char USAGE[] =
    "usage: vandrel-ticket [--broker ADDR | --spawn PATH] --gamedir NAME\n"
    "                      --server A.B.C.D:PORT [--server-steamid ID] [--secure N]\n"
    "                      [--challenge N] [--timeout-ms N] [--raw]\n"
    "       vandrel-ticket --help | --version\n"
    "\n"
    "Asks a vandrel broker for a Steam auth ticket for one game server and prints\n"
    "\"steamid ID\" and \"ticket HEX\" lines. The ticket is ended when the tool exits.\n"
    "\n"
    "  --broker ADDR        broker to connect to (default " VANDREL_DEFAULT_BROKER_ADDR ")\n"
    "  --spawn PATH         start a private broker, PATH --stdio, instead\n"
    "  --gamedir NAME       the game directory, e.g. cstrike\n"
    "  --server ADDR        the game server, a.b.c.d:port\n"
    "  --server-steamid ID  the game server's Steam ID (default 0)\n"
    "  --secure N           the server's secure flag (default 0)\n"
    "  --challenge N        the challenge, a signed 32-bit number (default: fresh)\n"
    "  --timeout-ms N       how long to wait for the ticket (default 30000)\n"
    "  --raw                write the raw ticket bytes to standard output and the\n"
    "                       Steam ID line to standard error\n"
    "  --help               show this text\n"
    "  --version            show the version of vandrel-ticket and its library\n"
    "\n"
    "Exit status: 0 ticket printed, 2 usage error, 3 cannot connect to or start\n"
    "the broker, 4 no ticket in time (Steam still starting; from a broker without\n"
    "error replies also: unknown game, Steam refused or not running), 5 the link\n"
    "failed or the broker sent a malformed reply, 6 the broker reported why there\n"
    "is no ticket (unknown game, Steam not running, Steam refused), printed as\n"
    "\"vandrel-ticket: no ticket: the broker reported an error: REASON\", 7 the\n"
    "broker at ADDR runs as another user (nothing was sent to it).\n";

struct options {
    const char* broker;
    const char* spawn;
    const char* gamedir;
    const char* server;
    uint64_t server_steam_id;
    int32_t secure;
    int32_t challenge;
    int have_challenge;
    int timeout_ms;
    int raw;
    int help;
    int version;
};

static int usage_error(const char* what, const char* value) {
    if (value != NULL)
        fprintf(stderr, "vandrel-ticket: %s: %s\n", what, value);
    else
        fprintf(stderr, "vandrel-ticket: %s\n", what);
    fprintf(stderr, "Try 'vandrel-ticket --help'.\n");
    return EXIT_USAGE;
}

static int parse_u64(const char* text, uint64_t* out) {
    if (text[0] < '0' || text[0] > '9')
        return 0;
    char* end = NULL;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return 0;
    *out = (uint64_t)value;
    return 1;
}

static int parse_i32(const char* text, int32_t* out) {
    char* end = NULL;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        return 0;
    *out = (int32_t)value;
    return 1;
}

/* Fills `o` from the command line; EXIT_OK or EXIT_USAGE after a message. */
static int parse_options(int argc, char** argv, struct options* o) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            o->help = 1;
            return EXIT_OK;
        }
        if (strcmp(arg, "--version") == 0) {
            o->version = 1;
            return EXIT_OK;
        }
        if (strcmp(arg, "--raw") == 0) {
            o->raw = 1;
            continue;
        }
        /* Every other option takes a value: "--name VALUE" or "--name=VALUE". */
        const char* value = NULL;
        const char* eq = strchr(arg, '=');
        size_t name_len = eq != NULL ? (size_t)(eq - arg) : strlen(arg);
        char name[32];
        if (strncmp(arg, "--", 2) != 0 || name_len >= sizeof name)
            return usage_error("unexpected argument", arg);
        memcpy(name, arg, name_len);
        name[name_len] = '\0';
        if (eq != NULL)
            value = eq + 1;
        else if (i + 1 < argc)
            value = argv[++i];
        else
            return usage_error("missing value for", name);

        if (strcmp(name, "--broker") == 0) {
            o->broker = value;
        } else if (strcmp(name, "--spawn") == 0) {
            o->spawn = value;
        } else if (strcmp(name, "--gamedir") == 0) {
            o->gamedir = value;
        } else if (strcmp(name, "--server") == 0) {
            o->server = value;
        } else if (strcmp(name, "--server-steamid") == 0) {
            if (!parse_u64(value, &o->server_steam_id))
                return usage_error("invalid --server-steamid", value);
        } else if (strcmp(name, "--secure") == 0) {
            if (!parse_i32(value, &o->secure))
                return usage_error("invalid --secure", value);
        } else if (strcmp(name, "--challenge") == 0) {
            if (!parse_i32(value, &o->challenge))
                return usage_error("invalid --challenge", value);
            o->have_challenge = 1;
        } else if (strcmp(name, "--timeout-ms") == 0) {
            int32_t ms = 0;
            if (!parse_i32(value, &ms) || ms < 0)
                return usage_error("invalid --timeout-ms", value);
            o->timeout_ms = (int)ms;
        } else {
            return usage_error("unknown option", name);
        }
    }
    if (o->broker != NULL && o->spawn != NULL)
        return usage_error("--broker and --spawn exclude each other", NULL);
    if (o->gamedir == NULL)
        return usage_error("--gamedir is required", NULL);
    if (o->server == NULL)
        return usage_error("--server is required", NULL);
    if (vandrel_check_gamedir(o->gamedir) != VANDREL_OK)
        return usage_error("invalid --gamedir", o->gamedir);
    if (vandrel_check_server(o->server) != VANDREL_OK)
        return usage_error("invalid --server", o->server);
    return EXIT_OK;
}

/* A challenge that differs from run to run. */
static int32_t fresh_challenge(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint32_t mixed =
        (uint32_t)ts.tv_nsec ^ (uint32_t)ts.tv_sec * 2654435761U ^ (uint32_t)getpid() << 16;
    return (int32_t)(mixed & 0x7FFFFFFF);
}

static void report(const char* what, const vandrel_client* client, vandrel_status status) {
    int err = vandrel_os_error(client);
    if (status == VANDREL_ERR_BROKER)
        fprintf(stderr, "vandrel-ticket: %s: %s: %s\n", what, vandrel_status_text(status),
                vandrel_broker_error(client));
    else if (err != 0)
        fprintf(stderr, "vandrel-ticket: %s: %s (%s)\n", what, vandrel_status_text(status),
                strerror(err));
    else
        fprintf(stderr, "vandrel-ticket: %s: %s\n", what, vandrel_status_text(status));
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
    case VANDREL_ERR_BROKER:
        return EXIT_BROKER_ERROR;
    default:
        return EXIT_LINK;
    }
}

static int print_ticket(const struct options* o, const vandrel_ticket* ticket) {
    FILE* id_out = o->raw ? stderr : stdout;
    fprintf(id_out, "steamid %" PRIu64 "\n", ticket->steam_id);
    if (o->raw) {
        if (ticket->len > 0 && fwrite(ticket->data, 1, ticket->len, stdout) != ticket->len)
            return EXIT_FAILED;
    } else {
        fputs("ticket ", stdout);
        for (size_t i = 0; i < ticket->len; ++i)
            printf("%02x", ticket->data[i]);
        fputc('\n', stdout);
    }
    return fflush(stdout) == 0 ? EXIT_OK : EXIT_FAILED;
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

    vandrel_client client;
    vandrel_status status = o.spawn != NULL
                                ? vandrel_spawn(&client, o.spawn, NULL)
                                : vandrel_connect(&client, o.broker, CONNECT_TIMEOUT_MS);
    if (status != VANDREL_OK) {
        report(o.spawn != NULL ? "cannot start the broker" : "cannot connect", &client, status);
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

    int exit_status = EXIT_OK;
    status = vandrel_activate_gamedir(&client, o.gamedir);
    if (status != VANDREL_OK) {
        report("cannot activate the game directory", &client, status);
        exit_status = exit_status_for(status);
    }
    if (exit_status == EXIT_OK) {
        status = vandrel_request_ticket(&client, &request, o.timeout_ms, &ticket);
        if (status != VANDREL_OK) {
            report("no ticket", &client, status);
            exit_status = exit_status_for(status);
        }
    }
    if (exit_status == EXIT_OK) {
        exit_status = print_ticket(&o, &ticket);
        (void)vandrel_end_ticket(&client, o.server, request.challenge);
    }
    vandrel_status closed = vandrel_close(&client);
    if (closed != VANDREL_OK && exit_status == EXIT_OK) {
        report("closing", &client, closed);
        exit_status = exit_status_for(closed);
    }
    return exit_status;
}
