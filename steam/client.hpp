// The Steam client: one initialisation of the Steamworks runtime with manual
// callback dispatch, and the dispatch loop that drains its callback queue.
#pragma once

#include "base/error.hpp"
#include "steam/user.hpp"
#include "steam/utils.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace vandrel::steam {

// The shared state of one successful initialisation (defined in client.cpp).
// Every Client, User and Utils holds a reference to it; the last reference to
// go shuts the runtime down, exactly once.
class Inner;

// Receives what one round of dispatch delivers, for a caller that waits for a
// particular callback or call result. Borrowed bytes are valid during the call only.
class CallbackSink {
  public:
    virtual ~CallbackSink() = default;
    // A callback other than a completed call, with its parameter.
    virtual void on_callback(std::int32_t id, std::span<const std::uint8_t> param) = 0;
    // A completed call's result for callback `id`; `fetched` is false (and
    // `result` not to be trusted) when the runtime could not copy it or the
    // call failed on its way.
    virtual void on_call_result(std::uint64_t call, std::int32_t id,
                                std::span<const std::uint8_t> result, bool fetched) = 0;
};

// How Steam went away from this process, by the signal it gave.
enum class SteamLoss {
    Shutdown,   // the Steam client is shutting down (SteamShutdown_t)
    IpcFailure, // the link to the Steam client failed (IPCFailure_t)
};

// The handle that initialisation returns. Copies share one initialisation.
class Client {
  public:
    // Initialises the runtime, which takes the AppID from steam_appid.txt in the
    // working directory, and switches it to manual dispatch. On failure nothing
    // is left initialised; the error's kind follows the runtime's result code.
    static Result<Client, SteamAPIInitError> init();

    // The user interface; it keeps the runtime up even after the Client goes.
    User user() const;
    // The utilities interface; it keeps the runtime up even after the Client goes.
    Utils utils() const;
    // Drains the runtime's callback queue on the calling thread, freeing every
    // callback exactly once, and shows each one to `sink` if given. Allocates
    // nothing when no API call has completed. Must be called regularly:
    // nothing else delivers.
    void run_callbacks(CallbackSink* sink = nullptr) const;
    // The first of Steam's signals that it has gone which any dispatch of
    // this initialisation delivered, whoever the sink was; none while Steam
    // is there. Once set it stays: Steam does not come back to a process.
    std::optional<SteamLoss> steam_lost() const;

  private:
    explicit Client(std::shared_ptr<const Inner> inner) : inner_(std::move(inner)) {}

    std::shared_ptr<const Inner> inner_;
};

} // namespace vandrel::steam
