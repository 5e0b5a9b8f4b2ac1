// The Steam client: one initialisation of the Steamworks runtime with manual
// callback dispatch, and the dispatch loop that drains its callback queue.
#pragma once

#include "error.hpp"
#include "steam/user.hpp"
#include "steam/utils.hpp"

#include <memory>

namespace vandrel::steam {

// The shared state of one successful initialisation (defined in client.cpp).
// Every Client, User and Utils holds a reference to it; the last reference to
// go shuts the runtime down, exactly once.
class Inner;

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
    // callback exactly once; no handler runs. Allocates nothing when no API
    // call has completed. Must be called regularly: nothing else delivers.
    void run_callbacks() const;

  private:
    explicit Client(std::shared_ptr<const Inner> inner) : inner_(std::move(inner)) {}

    std::shared_ptr<const Inner> inner_;
};

} // namespace vandrel::steam
