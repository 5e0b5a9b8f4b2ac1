// libsteam_api stand-in: a runtime with the same 14 flat functions that the
// broker calls, behaving like a Steam client with a logged-in user, for tests
// and for development on machines without Steam. It is not Steam and says so
// on standard error at every initialisation.
//
// It is scripted through the environment. Every variable is read when the
// function that uses it runs, so a process may change them between a Shutdown
// and the next SteamAPI_InitFlat (the stand-in can be initialised again after
// a Shutdown).
//
//   VANDREL_STANDIN_CALL_LOG=<path>
//       Append one line per flat call, with its arguments and result, to
//       <path> (one O_APPEND write per line). Misuses by the caller are logged
//       as lines starting "ERROR " and are also written to standard error.
//   VANDREL_STANDIN_INIT_RESULT=<int>
//       SteamAPI_InitFlat returns this code (default 0, success); any other
//       value fails with the message below and leaves nothing initialised.
//   VANDREL_STANDIN_INIT_MESSAGE=<text>
//   VANDREL_STANDIN_INIT_MESSAGE_HEX=<hex digits>
//       The failure message, as plain text or as hex pairs for any bytes
//       (invalid UTF-8, quotes, ...); HEX wins when both are set. Default
//       "stand-in: scripted init failure". At most 1023 bytes are written,
//       then the terminating zero.
//   VANDREL_STANDIN_INIT_MESSAGE_UNTERMINATED=1
//       Write up to all 1024 bytes of the message and no terminating zero.
//   VANDREL_STANDIN_INIT_HANG_MS=<ms>|forever
//       Sleep that long in SteamAPI_InitFlat before anything else.
//   VANDREL_STANDIN_INIT_STDOUT=<text>
//       Write the text to file descriptor 1 during SteamAPI_InitFlat.
//   VANDREL_STANDIN_STEAM_ID=<u64>
//       The logged-in user's Steam ID (default 76561197960287930).
//   VANDREL_STANDIN_TICKET_LEN=<n>
//       The length of the tickets issued (default 240).
//   VANDREL_STANDIN_TICKET_RESULT=<int>
//       What InitiateGameConnection returns. 0 is a refusal and writes
//       nothing; a positive value writes min(value, max, ticket length) bytes;
//       a negative value writes min(max, ticket length) bytes. Unset: it
//       writes min(max, ticket length) bytes and returns that count.
//   VANDREL_STANDIN_TICKET_DELAY_MS=<ms>
//       Sleep that long before issuing (or refusing) a ticket.
//   VANDREL_STANDIN_TICKET_DELAYS_MS=<ms>,<ms>,...
//       The delay of the 1st, 2nd, ... ticket call since the initialisation,
//       the last value repeating, e.g. "9000,0" delays only the first ticket;
//       wins over VANDREL_STANDIN_TICKET_DELAY_MS.
//   VANDREL_STANDIN_CALLBACKS=<id>[:<param size>],...
//       Callbacks queued at initialisation and delivered one per
//       GetNextCallback, e.g. "703,100,703". The parameter size defaults to 16
//       for 703 and 8 otherwise (at most 64). A 703's parameter holds a
//       completed-call record: call handle 0x8000000000000000 | generation << 32
//       | (index + 1), callback id 2101 and the size of
//       VANDREL_STANDIN_API_CALL_SIZE (default 24). Parameters deliberately
//       start at an odd address.
//   VANDREL_STANDIN_API_CALL_RESULT=0|1
//       What GetAPICallResult returns (default 1); when true it fills the
//       buffer with 0xA5 bytes.
//   VANDREL_STANDIN_API_CALL_IO_FAILED=0|1
//       What GetAPICallResult stores in the I/O-failure flag (default 0).
//
// Checks that end as ERROR lines: any call other than InitFlat while not
// initialised, a second InitFlat, a dispatch call before ManualDispatch_Init
// or on another pipe, GetNextCallback while the previous callback is not
// freed, FreeLastCallback with no callback outstanding (a double free),
// GetAPICallResult whose handle, size or callback id does not match the
// outstanding completed call, and an interface handle that is not ours.
//
// Ticket bytes are deterministic, so that a test can recompute them. Byte i
// (from 0) of the ticket for a server at host-order address `ip`, port `port`
// and server Steam ID `sid` is the top byte of
//     mix(seed + (i + 1) * 0x9E3779B97F4A7C15),  seed = sid ^ (ip << 16 | port)
// with 64-bit wrap-around arithmetic and mix the splitmix64 finaliser:
//     z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
//     z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
//     z ^ (z >> 31).
// The secure flag does not enter into it.
//
// The stand-in keeps one global state and expects its caller to use one
// thread, as the broker's child does.

#include "calllog.hpp"
#include "script.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace vandrel::standin {

// The record that GetNextCallback fills, packed to 4 bytes as on Linux.
#pragma pack(push, 4)
struct CallbackMsg {
    std::int32_t user;
    std::int32_t callback_id;
    std::uint8_t* param;
    std::int32_t param_size;
};
#pragma pack(pop)
static_assert(sizeof(CallbackMsg) == 20);

namespace {

constexpr std::size_t INIT_MESSAGE_LEN = 1024;
constexpr int INIT_FAILED_GENERIC = 1;
constexpr const char* NO_APPID_MESSAGE =
    "No appID found.  Either launch the game from Steam, or put the file steam_appid.txt "
    "containing the correct appID in your game folder.";
constexpr const char* DEFAULT_FAILURE_MESSAGE = "stand-in: scripted init failure";
constexpr const char* ANNOUNCEMENT = "libsteam_api stand-in: not Steam\n";
constexpr const char* APPID_FILE = "steam_appid.txt";

constexpr std::uint64_t DEFAULT_STEAM_ID = 76561197960287930ULL;
constexpr long long DEFAULT_TICKET_LEN = 240;

constexpr std::int32_t CALLBACK_API_CALL_COMPLETED = 703;
constexpr std::int32_t COMPLETED_CALL_RESULT_ID = 2101;
constexpr long long DEFAULT_API_CALL_SIZE = 24;
constexpr std::size_t MAX_CALLBACKS = 64;
constexpr std::size_t PARAM_CAPACITY = 64;
constexpr std::int32_t COMPLETED_RECORD_LEN = 16;
constexpr std::int32_t DEFAULT_PARAM_LEN = 8;
constexpr std::uint64_t CALL_HANDLE_MARK = 0x8000000000000000ULL;
constexpr unsigned char API_RESULT_FILL = 0xA5;

struct CompletedCall {
    std::uint64_t call;
    std::int32_t callback_id;
    std::uint32_t size;
};
static_assert(sizeof(CompletedCall) == COMPLETED_RECORD_LEN);

struct QueuedCallback {
    std::int32_t id = 0;
    std::int32_t param_size = 0;
    CompletedCall record{}; // meaningful for 703 only
    // One spare byte in front, so that the parameter starts at an odd address.
    std::uint8_t storage[PARAM_CAPACITY + 1]{};

    std::uint8_t* param() { return storage + 1; }
};

struct State {
    bool initialised = false;
    bool manual_dispatch = false;
    // Counts initialisations; the pipe of each is its number, so a pipe kept
    // from an earlier initialisation is caught.
    std::int32_t generation = 0;
    std::uint32_t app_id = 0;
    std::uint64_t steam_id = 0;
    QueuedCallback queue[MAX_CALLBACKS];
    std::size_t queued = 0;
    std::size_t next = 0;
    bool outstanding = false; // delivered and not yet freed
    std::size_t outstanding_index = 0;
    std::size_t ticket_calls = 0; // since the initialisation
};

State state;
// The interface handles: addresses that only the stand-in hands out.
char user_interface;
char utils_interface;

bool all_zero(const void* buf, std::size_t len) {
    const auto* p = static_cast<const unsigned char*>(buf);
    return std::all_of(p, p + len, [](unsigned char c) { return c == 0; });
}

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint8_t ticket_byte(std::uint32_t ip, std::uint16_t port, std::uint64_t sid, std::size_t i) {
    const std::uint64_t seed = sid ^ ((std::uint64_t{ip} << 16) | port);
    return static_cast<std::uint8_t>(mix(seed + (i + 1) * 0x9E3779B97F4A7C15ULL) >> 56);
}

bool require_initialised(const char* call) {
    if (state.initialised)
        return true;
    report_error("%s while not initialised", call);
    return false;
}

bool check_pipe(const char* call, std::int32_t pipe) {
    if (!require_initialised(call))
        return false;
    if (!state.manual_dispatch)
        report_error("%s before SteamAPI_ManualDispatch_Init", call);
    if (pipe != state.generation) {
        report_error("%s on pipe %d, expected %d", call, pipe, state.generation);
        return false;
    }
    return true;
}

bool check_handle(const char* call, const void* handle, const void* ours) {
    if (!require_initialised(call))
        return false;
    if (handle == ours)
        return true;
    report_error("%s with a handle that is not ours", call);
    return false;
}

// Writes the scripted failure message into the caller's buffer.
void write_message(char* out, const char* text) {
    const bool unterminated = env_flag("VANDREL_STANDIN_INIT_MESSAGE_UNTERMINATED");
    const std::size_t cap = unterminated ? INIT_MESSAGE_LEN : INIT_MESSAGE_LEN - 1;
    std::size_t len = 0;
    if (const char* hex = env("VANDREL_STANDIN_INIT_MESSAGE_HEX")) {
        len = decode_hex(hex, reinterpret_cast<unsigned char*>(out), cap);
    } else {
        len = std::min(std::strlen(text), cap);
        std::memcpy(out, text, len);
    }
    if (len < INIT_MESSAGE_LEN && !unterminated)
        out[len] = '\0';
}

// The AppID from steam_appid.txt in the working directory: leading blanks,
// then decimal digits. False when the file is missing or holds no AppID.
bool read_app_id(std::uint32_t& app_id) {
    const int fd = ::open(APPID_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[64]{};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        ++p;
    std::uint64_t value = 0;
    const char* digits = p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
        if (value > UINT32_MAX)
            return false;
    }
    if (p == digits)
        return false;
    app_id = static_cast<std::uint32_t>(value);
    return true;
}

void queue_callbacks() {
    state.queued = 0;
    state.next = 0;
    state.outstanding = false;
    const char* list = env("VANDREL_STANDIN_CALLBACKS");
    if (list == nullptr)
        return;
    const long long result_size = env_int("VANDREL_STANDIN_API_CALL_SIZE", DEFAULT_API_CALL_SIZE);
    const char* p = list;
    while (*p != '\0') {
        if (state.queued == MAX_CALLBACKS) {
            report_error("more than %zu callbacks queued; the rest are dropped", MAX_CALLBACKS);
            return;
        }
        char* end = nullptr;
        const long id = std::strtol(p, &end, 10);
        if (end == p) {
            report_error("bad callback list \"%s\"", list);
            return;
        }
        QueuedCallback& cb = state.queue[state.queued];
        cb = QueuedCallback{};
        cb.id = static_cast<std::int32_t>(id);
        cb.param_size =
            cb.id == CALLBACK_API_CALL_COMPLETED ? COMPLETED_RECORD_LEN : DEFAULT_PARAM_LEN;
        p = end;
        if (*p == ':') {
            const long size = std::strtol(p + 1, &end, 10);
            cb.param_size =
                static_cast<std::int32_t>(std::clamp(size, 0L, static_cast<long>(PARAM_CAPACITY)));
            p = end;
        }
        if (cb.id == CALLBACK_API_CALL_COMPLETED) {
            cb.record.call =
                CALL_HANDLE_MARK | (std::uint64_t(state.generation) << 32) | (state.queued + 1);
            cb.record.callback_id = COMPLETED_CALL_RESULT_ID;
            cb.record.size = static_cast<std::uint32_t>(result_size);
            std::memcpy(cb.param(), &cb.record, sizeof cb.record);
        }
        ++state.queued;
        if (*p == ',')
            ++p;
        else if (*p != '\0') {
            report_error("bad callback list \"%s\"", list);
            return;
        }
    }
}

// The delay before ticket call `call` (from 0): that entry of
// VANDREL_STANDIN_TICKET_DELAYS_MS, or its last one, when the list is set;
// else VANDREL_STANDIN_TICKET_DELAY_MS.
long long ticket_delay_ms(std::size_t call) {
    const char* list = env("VANDREL_STANDIN_TICKET_DELAYS_MS");
    if (list == nullptr)
        return env_int("VANDREL_STANDIN_TICKET_DELAY_MS", 0);
    const char* p = list;
    for (std::size_t i = 0;; ++i) {
        char* end = nullptr;
        errno = 0;
        const long long delay = std::strtoll(p, &end, 10);
        if (end == p || errno != 0 || (*end != ',' && *end != '\0')) {
            report_error("bad delay list \"%s\"", list);
            return 0;
        }
        if (i == call || *end == '\0')
            return delay;
        p = end + 1;
    }
}

int init(char* message) {
    const char* hang = env("VANDREL_STANDIN_INIT_HANG_MS");
    if (hang != nullptr)
        sleep_ms(std::strcmp(hang, "forever") == 0 ? -1
                                                   : env_int("VANDREL_STANDIN_INIT_HANG_MS", 0));
    if (const char* text = env("VANDREL_STANDIN_INIT_STDOUT")) {
        // Deliberately unbuffered and straight to the descriptor, as a chatty
        // runtime would.
        [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, text, std::strlen(text));
    }
    const long long scripted = env_int("VANDREL_STANDIN_INIT_RESULT", 0);
    if (scripted != 0) {
        const char* text = env("VANDREL_STANDIN_INIT_MESSAGE");
        write_message(message, text != nullptr ? text : DEFAULT_FAILURE_MESSAGE);
        return static_cast<int>(scripted);
    }
    std::uint32_t app_id = 0;
    if (!read_app_id(app_id)) {
        write_message(message, NO_APPID_MESSAGE);
        return INIT_FAILED_GENERIC;
    }
    ++state.generation;
    state.initialised = true;
    state.manual_dispatch = false;
    state.app_id = app_id;
    state.ticket_calls = 0;
    state.steam_id = env_u64("VANDREL_STANDIN_STEAM_ID", DEFAULT_STEAM_ID);
    queue_callbacks();
    return 0;
}

} // namespace
} // namespace vandrel::standin

using namespace vandrel::standin;

STANDIN_EXPORT int SteamAPI_InitFlat(char (*message)[INIT_MESSAGE_LEN]) {
    [[maybe_unused]] const ssize_t n =
        ::write(STDERR_FILENO, ANNOUNCEMENT, std::strlen(ANNOUNCEMENT));
    if (message == nullptr) {
        report_error("SteamAPI_InitFlat without a message buffer");
        return INIT_FAILED_GENERIC;
    }
    const bool zeroed = all_zero(*message, INIT_MESSAGE_LEN);
    if (state.initialised) {
        report_error("SteamAPI_InitFlat while initialised");
        log_call("SteamAPI_InitFlat zeroed=%d result=0", zeroed);
        return 0;
    }
    const int result = init(*message);
    log_call("SteamAPI_InitFlat zeroed=%d result=%d appid=%u", zeroed, result,
             result == 0 ? state.app_id : 0);
    return result;
}

STANDIN_EXPORT void SteamAPI_ManualDispatch_Init() {
    log_call("SteamAPI_ManualDispatch_Init");
    if (require_initialised("SteamAPI_ManualDispatch_Init"))
        state.manual_dispatch = true;
}

STANDIN_EXPORT void SteamAPI_Shutdown() {
    log_call("SteamAPI_Shutdown");
    if (!require_initialised("SteamAPI_Shutdown"))
        return;
    state.initialised = false;
    state.manual_dispatch = false;
    state.queued = 0;
    state.next = 0;
    state.outstanding = false;
}

STANDIN_EXPORT std::int32_t SteamAPI_GetHSteamPipe() {
    const std::int32_t pipe = state.initialised ? state.generation : 0;
    log_call("SteamAPI_GetHSteamPipe pipe=%d", pipe);
    require_initialised("SteamAPI_GetHSteamPipe");
    return pipe;
}

STANDIN_EXPORT void SteamAPI_ManualDispatch_RunFrame(std::int32_t pipe) {
    log_call("SteamAPI_ManualDispatch_RunFrame pipe=%d", pipe);
    check_pipe("SteamAPI_ManualDispatch_RunFrame", pipe);
}

STANDIN_EXPORT bool SteamAPI_ManualDispatch_GetNextCallback(std::int32_t pipe, CallbackMsg* msg) {
    const char* call = "SteamAPI_ManualDispatch_GetNextCallback";
    if (!check_pipe(call, pipe) || msg == nullptr || state.next == state.queued) {
        log_call("%s pipe=%d result=0", call, pipe);
        return false;
    }
    if (state.outstanding)
        report_error("%s while callback %zu (id %d) is not freed", call, state.outstanding_index,
                     state.queue[state.outstanding_index].id);
    QueuedCallback& cb = state.queue[state.next];
    msg->user = 1;
    msg->callback_id = cb.id;
    msg->param = cb.param();
    msg->param_size = cb.param_size;
    state.outstanding = true;
    state.outstanding_index = state.next++;
    log_call("%s pipe=%d result=1 callback=%d index=%zu param_size=%d", call, pipe, cb.id,
             state.outstanding_index, cb.param_size);
    return true;
}

STANDIN_EXPORT bool SteamAPI_ManualDispatch_GetAPICallResult(std::int32_t pipe, std::uint64_t call,
                                                             void* buf, std::int32_t size,
                                                             std::int32_t expected_callback_id,
                                                             bool* io_failed) {
    const char* name = "SteamAPI_ManualDispatch_GetAPICallResult";
    const bool zeroed = buf == nullptr || size <= 0 || all_zero(buf, std::size_t(size));
    const int io_in = io_failed == nullptr ? -1 : *io_failed;
    const bool result = env_int("VANDREL_STANDIN_API_CALL_RESULT", 1) != 0;
    log_call("%s pipe=%d call=%llu size=%d expected=%d zeroed=%d io_failed_in=%d result=%d", name,
             pipe, static_cast<unsigned long long>(call), size, expected_callback_id, zeroed, io_in,
             result);
    if (!check_pipe(name, pipe))
        return false;
    const QueuedCallback* cb = state.outstanding ? &state.queue[state.outstanding_index] : nullptr;
    if (cb == nullptr || cb->id != CALLBACK_API_CALL_COMPLETED || cb->record.call != call ||
        cb->record.callback_id != expected_callback_id ||
        static_cast<std::int64_t>(cb->record.size) != size)
        report_error("%s for call %llu, size %d, callback %d does not match the outstanding "
                     "completed call",
                     name, static_cast<unsigned long long>(call), size, expected_callback_id);
    if (io_failed == nullptr)
        report_error("%s without an I/O-failure flag", name);
    else
        *io_failed = env_flag("VANDREL_STANDIN_API_CALL_IO_FAILED");
    if (result && buf != nullptr && size > 0)
        std::memset(buf, API_RESULT_FILL, std::size_t(size));
    return result;
}

STANDIN_EXPORT void SteamAPI_ManualDispatch_FreeLastCallback(std::int32_t pipe) {
    const char* call = "SteamAPI_ManualDispatch_FreeLastCallback";
    if (!check_pipe(call, pipe))
        return;
    if (!state.outstanding) {
        log_call("%s pipe=%d", call, pipe);
        report_error("%s with no callback outstanding (freed twice?)", call);
        return;
    }
    log_call("%s pipe=%d callback=%d index=%zu", call, pipe,
             state.queue[state.outstanding_index].id, state.outstanding_index);
    state.outstanding = false;
}

STANDIN_EXPORT void* SteamAPI_SteamUser_v023() {
    log_call("SteamAPI_SteamUser_v023");
    return require_initialised("SteamAPI_SteamUser_v023") ? &user_interface : nullptr;
}

STANDIN_EXPORT void* SteamAPI_SteamUtils_v010() {
    log_call("SteamAPI_SteamUtils_v010");
    return require_initialised("SteamAPI_SteamUtils_v010") ? &utils_interface : nullptr;
}

STANDIN_EXPORT std::uint64_t SteamAPI_ISteamUser_GetSteamID(void* user) {
    const char* call = "SteamAPI_ISteamUser_GetSteamID";
    const std::uint64_t id = check_handle(call, user, &user_interface) ? state.steam_id : 0;
    log_call("%s steamid=%llu", call, static_cast<unsigned long long>(id));
    return id;
}

STANDIN_EXPORT std::uint32_t SteamAPI_ISteamUtils_GetAppID(void* utils) {
    const char* call = "SteamAPI_ISteamUtils_GetAppID";
    const std::uint32_t id = check_handle(call, utils, &utils_interface) ? state.app_id : 0;
    log_call("%s appid=%u", call, id);
    return id;
}

STANDIN_EXPORT int SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED(
    void* user, void* blob, int max_blob, std::uint64_t server_steam_id,
    std::uint32_t server_ip_host_order, std::uint16_t server_port, bool secure) {
    const char* call = "SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED";
    const bool zeroed = blob == nullptr || max_blob <= 0 || all_zero(blob, std::size_t(max_blob));
    const bool ours = check_handle(call, user, &user_interface);
    sleep_ms(std::max(ticket_delay_ms(state.ticket_calls++), 0LL));

    const long long ticket_len =
        std::max(env_int("VANDREL_STANDIN_TICKET_LEN", DEFAULT_TICKET_LEN), 0LL);
    const long long limit =
        blob == nullptr ? 0 : std::min<long long>(std::max(max_blob, 0), ticket_len);
    long long result = limit;
    long long written = limit;
    if (env("VANDREL_STANDIN_TICKET_RESULT") != nullptr) {
        result = env_int("VANDREL_STANDIN_TICKET_RESULT", 0);
        written = result == 0 ? 0 : result > 0 ? std::min(result, limit) : limit;
    }
    if (!ours)
        result = written = 0;
    auto* out = static_cast<std::uint8_t*>(blob);
    for (std::size_t i = 0; i < std::size_t(written); ++i)
        out[i] = ticket_byte(server_ip_host_order, server_port, server_steam_id, i);
    log_call("%s max=%d zeroed=%d sid=%llu ip=%u port=%u secure=%d written=%lld result=%lld", call,
             max_blob, zeroed, static_cast<unsigned long long>(server_steam_id),
             server_ip_host_order, unsigned{server_port}, secure, written, result);
    return static_cast<int>(result);
}

STANDIN_EXPORT void SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED(
    void* user, std::uint32_t server_ip_host_order, std::uint16_t server_port) {
    const char* call = "SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED";
    log_call("%s ip=%u port=%u", call, server_ip_host_order, unsigned{server_port});
    check_handle(call, user, &user_interface);
}
