// One client session: its frame loop, command set and state.
#pragma once

#include "error.hpp"
#include "transport.hpp"

namespace vandrel {

// Serves one client connection from its first frame to its end.
class Session {
public:
    explicit Session(Framed framed) : framed_(std::move(framed)) {}

    // Serves frames until the client closes (false) or asks the broker to stop
    // (true). A frame that cannot be read is returned as the error; failed
    // commands are logged and never leave `run`.
    Result<bool> run();

private:
    Framed framed_;
};

} // namespace vandrel
