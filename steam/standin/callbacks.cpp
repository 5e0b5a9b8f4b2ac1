// Callbacks are queued at initialisation; a 703's parameter is a
// completed-call record for callback 2101 with VANDREL_STANDIN_API_CALL_SIZE
// bytes of result, and parameters start at odd addresses, which the caller
// must cope with.
#include "steam/standin/callbacks.hpp"

#include "steam/standin/calllog.hpp"
#include "steam/standin/script.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vandrel::standin {
namespace {

using steam::flat::CALLBACK_API_CALL_COMPLETED;
using steam::flat::CompletedCallRecord;

constexpr std::int32_t COMPLETED_CALL_RESULT_ID = 2101;
constexpr long long DEFAULT_API_CALL_SIZE = 24;
constexpr std::size_t MAX_CALLBACKS = 64;
// Room for the largest record a call pushes (a web API ticket's).
constexpr std::size_t PARAM_CAPACITY = MAX_PARAM_LEN;
// The parameter sizes a scripted list may ask for.
constexpr long SCRIPTED_PARAM_CAPACITY = 64;
constexpr std::int32_t COMPLETED_RECORD_LEN = sizeof(CompletedCallRecord);
constexpr std::int32_t DEFAULT_PARAM_LEN = 8;
constexpr std::uint64_t CALL_HANDLE_MARK = 0x8000000000000000ULL;
constexpr unsigned char API_RESULT_FILL = 0xA5;

struct QueuedCallback {
    std::int32_t id = 0;
    std::int32_t param_size = 0;
    CompletedCallRecord record{}; // meaningful for 703 only
    // A pushed completion's result; a scripted one's is made up at the fetch.
    bool has_result = false;
    std::uint8_t result[MAX_RESULT_LEN]{};
    // One spare byte in front, so that the parameter starts at an odd address.
    std::uint8_t storage[PARAM_CAPACITY + 1]{};

    std::uint8_t* param() { return storage + 1; }
};

struct Queue {
    QueuedCallback entries[MAX_CALLBACKS];
    std::size_t queued = 0;
    std::size_t next = 0;
    bool outstanding = false; // delivered and not yet freed
    std::size_t outstanding_index = 0;
};

Queue queue;

// Parses "<id>[:<param size>]" at `p`; the end of the entry, or null.
const char* parse_entry(const char* p, std::int32_t generation, QueuedCallback& cb,
                        long long result_size) {
    char* end = nullptr;
    const long id = std::strtol(p, &end, 10);
    if (end == p)
        return nullptr;
    cb = QueuedCallback{};
    cb.id = static_cast<std::int32_t>(id);
    cb.param_size = cb.id == CALLBACK_API_CALL_COMPLETED ? COMPLETED_RECORD_LEN : DEFAULT_PARAM_LEN;
    if (*end == ':') {
        p = end + 1;
        const long size = std::strtol(p, &end, 10);
        if (end == p)
            return nullptr;
        cb.param_size = static_cast<std::int32_t>(std::clamp(size, 0L, SCRIPTED_PARAM_CAPACITY));
    }
    if (cb.id == CALLBACK_API_CALL_COMPLETED) {
        cb.record.call =
            CALL_HANDLE_MARK | (static_cast<std::uint64_t>(generation) << 32) | (queue.queued + 1);
        cb.record.callback_id = COMPLETED_CALL_RESULT_ID;
        cb.record.size = static_cast<std::uint32_t>(result_size);
        std::memcpy(cb.param(), &cb.record, sizeof cb.record);
    }
    return end;
}

// Makes room for one more callback: drops the delivered ones from the front
// when nothing is outstanding. False when the queue is still full.
bool make_room() {
    if (!queue.outstanding && queue.next > 0) {
        std::move(queue.entries + queue.next, queue.entries + queue.queued, queue.entries);
        queue.queued -= queue.next;
        queue.next = 0;
    }
    if (queue.queued < MAX_CALLBACKS)
        return true;
    report_error("more than %zu callbacks queued; a pushed one is dropped", MAX_CALLBACKS);
    return false;
}

} // namespace

void push_callback(std::int32_t id, std::span<const std::uint8_t> param) {
    if (!make_room())
        return;
    QueuedCallback& cb = queue.entries[queue.queued++];
    cb = QueuedCallback{};
    cb.id = id;
    const std::size_t len = std::min(param.size(), PARAM_CAPACITY);
    cb.param_size = static_cast<std::int32_t>(len);
    std::memcpy(cb.param(), param.data(), len);
}

void push_call_completed(std::uint64_t call, std::int32_t id,
                         std::span<const std::uint8_t> result) {
    if (!make_room())
        return;
    QueuedCallback& cb = queue.entries[queue.queued++];
    cb = QueuedCallback{};
    cb.id = CALLBACK_API_CALL_COMPLETED;
    cb.param_size = COMPLETED_RECORD_LEN;
    const std::size_t len = std::min(result.size(), MAX_RESULT_LEN);
    cb.record = CompletedCallRecord{call, id, static_cast<std::uint32_t>(len)};
    std::memcpy(cb.param(), &cb.record, sizeof cb.record);
    cb.has_result = true;
    std::memcpy(cb.result, result.data(), len);
}

void clear_callbacks() {
    queue.queued = 0;
    queue.next = 0;
    queue.outstanding = false;
}

void queue_callbacks(std::int32_t generation) {
    clear_callbacks();
    const char* list = env("VANDREL_STANDIN_CALLBACKS");
    if (list == nullptr)
        return;
    const long long result_size = env_int("VANDREL_STANDIN_API_CALL_SIZE", DEFAULT_API_CALL_SIZE);
    for (const char* p = list; *p != '\0';) {
        if (queue.queued == MAX_CALLBACKS) {
            report_error("more than %zu callbacks queued; the rest are dropped", MAX_CALLBACKS);
            return;
        }
        p = parse_entry(p, generation, queue.entries[queue.queued], result_size);
        if (p == nullptr || (*p != ',' && *p != '\0')) {
            report_error("bad callback list \"%s\"", list);
            return;
        }
        ++queue.queued;
        if (*p == ',')
            ++p;
    }
}

bool next_callback(PipeCheck check, std::int32_t pipe, std::int32_t user,
                   steam::flat::CallbackMsg* msg) {
    const char* call = "SteamAPI_ManualDispatch_GetNextCallback";
    if (!check(call, pipe) || msg == nullptr || queue.next == queue.queued) {
        log_call("%s pipe=%d result=0", call, pipe);
        return false;
    }
    if (queue.outstanding)
        report_error("%s while callback %zu (id %d) is not freed", call, queue.outstanding_index,
                     queue.entries[queue.outstanding_index].id);
    QueuedCallback& cb = queue.entries[queue.next];
    msg->user = user;
    msg->callback_id = cb.id;
    msg->param = cb.param();
    msg->param_size = cb.param_size;
    queue.outstanding = true;
    queue.outstanding_index = queue.next++;
    log_call("%s pipe=%d result=1 callback=%d index=%zu param_size=%d", call, pipe, cb.id,
             queue.outstanding_index, cb.param_size);
    return true;
}

void free_last_callback(PipeCheck check, std::int32_t pipe) {
    const char* call = "SteamAPI_ManualDispatch_FreeLastCallback";
    if (!check(call, pipe))
        return;
    if (!queue.outstanding) {
        log_call("%s pipe=%d", call, pipe);
        report_error("%s with no callback outstanding (freed twice?)", call);
        return;
    }
    log_call("%s pipe=%d callback=%d index=%zu", call, pipe,
             queue.entries[queue.outstanding_index].id, queue.outstanding_index);
    queue.outstanding = false;
}

bool api_call_result(PipeCheck check, std::int32_t pipe, std::uint64_t call, void* buf,
                     std::int32_t size, std::int32_t expected_callback_id, bool* io_failed) {
    const char* name = "SteamAPI_ManualDispatch_GetAPICallResult";
    const bool zeroed =
        buf == nullptr || size <= 0 || all_zero(buf, static_cast<std::size_t>(size));
    const int io_in = io_failed == nullptr ? -1 : *io_failed;
    const QueuedCallback* cb =
        queue.outstanding ? &queue.entries[queue.outstanding_index] : nullptr;
    // A pushed completion carries its own result; a scripted one the variables'.
    const bool pushed = cb != nullptr && cb->has_result;
    const bool result = pushed || env_int("VANDREL_STANDIN_API_CALL_RESULT", 1) != 0;
    log_call("%s pipe=%d call=%llu size=%d expected=%d zeroed=%d io_failed_in=%d result=%d", name,
             pipe, static_cast<unsigned long long>(call), size, expected_callback_id, zeroed, io_in,
             result);
    if (!check(name, pipe))
        return false;
    if (cb == nullptr || cb->id != CALLBACK_API_CALL_COMPLETED || cb->record.call != call ||
        cb->record.callback_id != expected_callback_id ||
        static_cast<std::int64_t>(cb->record.size) != size)
        report_error("%s for call %llu, size %d, callback %d does not match the outstanding "
                     "completed call",
                     name, static_cast<unsigned long long>(call), size, expected_callback_id);
    if (io_failed == nullptr)
        report_error("%s without an I/O-failure flag", name);
    else
        *io_failed = !pushed && env_flag("VANDREL_STANDIN_API_CALL_IO_FAILED");
    if (buf == nullptr || size <= 0)
        return result;
    if (pushed)
        std::memcpy(buf, cb->result, std::min<std::size_t>(cb->record.size, size));
    else if (result)
        std::memset(buf, API_RESULT_FILL, static_cast<std::size_t>(size));
    return result;
}

} // namespace vandrel::standin
