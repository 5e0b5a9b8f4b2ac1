// Starting the program's threads.
#pragma once

#include "base/exit_status.hpp"
#include "base/log.hpp"

#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace vandrel {

// Runs `body` on a new thread, which the caller joins. A thread that cannot
// be started ends the process with EXIT_ABORT after a "failed to spawn
// thread" diagnostic.
template <class F>
std::thread spawn_thread(F body) {
    try {
        return std::thread(std::move(body));
    } catch (const std::system_error& e) {
        log_line(std::string("fatal abort: failed to spawn thread: ") + e.what());
        std::_Exit(EXIT_ABORT);
    }
}

// Runs `body` on a new detached thread; fails as spawn_thread does.
template <class F>
void spawn_detached(F body) {
    spawn_thread(std::move(body)).detach();
}

} // namespace vandrel
