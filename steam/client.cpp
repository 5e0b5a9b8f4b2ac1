#include "steam/client.hpp"

#include "base/text.hpp"
#include "steam/runtime.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace vandrel::steam {

// One successful initialisation, in client mode: only the client variants of
// the pipe and shutdown calls are ever used.
class Inner {
  public:
    Inner() = default;
    Inner(const Inner&) = delete;
    Inner& operator=(const Inner&) = delete;
    ~Inner() {
        if (initialised)
            runtime().SteamAPI_Shutdown();
    }

    // Set once SteamAPI_InitFlat has succeeded; from then on the destructor
    // owes the runtime its shutdown.
    bool initialised = false;
    // Steam's first signal that it has gone. Dispatch writes it through the
    // const references every holder has; all of them live on the one thread
    // that makes Steam calls.
    mutable std::optional<SteamLoss> lost;
};

namespace {

using Kind = SteamAPIInitError::Kind;

Kind kind_for_code(int code) {
    switch (code) {
    case flat::INIT_NO_STEAM_CLIENT:
        return Kind::NoSteamClient;
    case flat::INIT_VERSION_MISMATCH:
        return Kind::VersionMismatch;
    default:
        // INIT_FAILED_GENERIC, and any code this program does not know: a
        // failure with no more specific kind.
        return Kind::Generic;
    }
}

SteamAPIInitError init_error(int code, const flat::InitMessage& message) {
    // The runtime promises a terminator, but a message that fills the whole
    // buffer must still not be read past its end.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message);
    const auto len = static_cast<std::size_t>(std::find(bytes, bytes + sizeof message, 0) - bytes);
    return {kind_for_code(code), decode_lossy({bytes, len})};
}

// Fetches the result of the API call that a completed-call callback reports,
// so that the runtime can release it, and shows it to the sink, if any.
void fetch_call_result(flat::HSteamPipe pipe, const flat::CallbackMsg& msg,
                       std::vector<std::uint8_t>& result, CallbackSink* sink) {
    flat::CompletedCallRecord record{};
    // A parameter too short for the record would be read past its end.
    if (msg.param == nullptr || msg.param_size < static_cast<std::int32_t>(sizeof record))
        return;
    std::memcpy(&record, msg.param, sizeof record);
    // The fetch takes the size as a signed 32-bit number; a larger size cannot
    // be asked for.
    if (record.size > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
        return;
    result.resize(record.size);
    bool io_failed = false;
    const bool copied = runtime().SteamAPI_ManualDispatch_GetAPICallResult(
        pipe, record.call, result.data(), static_cast<std::int32_t>(record.size),
        record.callback_id, &io_failed);
    if (sink != nullptr)
        sink->on_call_result(record.call, record.callback_id, result, copied && !io_failed);
}

// The loss a callback announces, if it is one of Steam's signals that it has gone.
std::optional<SteamLoss> loss_of(std::int32_t callback_id) {
    switch (callback_id) {
    case flat::CALLBACK_STEAM_SHUTDOWN:
        return SteamLoss::Shutdown;
    case flat::CALLBACK_IPC_FAILURE:
        return SteamLoss::IpcFailure;
    default:
        return std::nullopt;
    }
}

// A callback's parameter as bytes; empty when the runtime gave none.
std::span<const std::uint8_t> param_of(const flat::CallbackMsg& msg) {
    if (msg.param == nullptr || msg.param_size <= 0)
        return {};
    return {msg.param, static_cast<std::size_t>(msg.param_size)};
}

} // namespace

Result<Client, SteamAPIInitError> Client::init() {
    // A runtime that cannot be loaded, or that lacks a function, is one more
    // way for the initialisation to fail, in the loader's words.
    Result<const FlatApi*, std::string> api = load_runtime();
    if (!api)
        return SteamAPIInitError{Kind::Generic, std::move(api).error()};
    // Allocated before the runtime starts, so that once it is up nothing can
    // fail on the way to the Client that owes it its shutdown.
    auto inner = std::make_shared<Inner>();
    flat::InitMessage message{};
    const int code = (*api)->SteamAPI_InitFlat(&message);
    if (code != flat::INIT_OK)
        return init_error(code, message);
    inner->initialised = true;
    (*api)->SteamAPI_ManualDispatch_Init();
    return Client(std::move(inner));
}

User Client::user() const {
    return User(inner_, runtime().SteamAPI_SteamUser_v023());
}

Utils Client::utils() const {
    return Utils(inner_, runtime().SteamAPI_SteamUtils_v010());
}

void Client::run_callbacks(CallbackSink* sink) const {
    const FlatApi& api = runtime();
    // The pipe is fetched anew each time rather than stored with the client.
    const flat::HSteamPipe pipe = api.SteamAPI_GetHSteamPipe();
    api.SteamAPI_ManualDispatch_RunFrame(pipe);
    // Reused for every completed call of this round; it only allocates when
    // one arrives.
    std::vector<std::uint8_t> result;
    flat::CallbackMsg msg{};
    while (api.SteamAPI_ManualDispatch_GetNextCallback(pipe, &msg)) {
        if (msg.callback_id == flat::CALLBACK_API_CALL_COMPLETED)
            fetch_call_result(pipe, msg, result, sink);
        else if (sink != nullptr)
            sink->on_callback(msg.callback_id, param_of(msg));
        // Noted whoever waits, so that a signal that comes while a request
        // waits for its own confirmation is not lost.
        if (!inner_->lost)
            inner_->lost = loss_of(msg.callback_id);
        api.SteamAPI_ManualDispatch_FreeLastCallback(pipe);
    }
}

std::optional<SteamLoss> Client::steam_lost() const {
    return inner_->lost;
}

} // namespace vandrel::steam
