// The broker's stop: asked for once, by the thread that learns that the broker
// must stop (a signal, a client's "vd_terminate"), and seen by every session.
#pragma once

#include "base/error.hpp"
#include "base/fd.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stop_token>

namespace vandrel {

class StopSignal {
  public:
    using Clock = std::chrono::steady_clock;

    // A stop not yet asked for, or the Io error of its descriptor.
    static Result<std::unique_ptr<StopSignal>> create();

    // Asks for the stop: what sessions still wait for must be over within
    // `grace`. Later calls change nothing. Called from one thread at a time.
    void request(Clock::duration grace);
    // True once the stop has been asked for.
    bool requested() const { return token_.stop_requested(); }
    // When every wait must be over: `grace` after the stop was asked for, the
    // far future before.
    Clock::time_point deadline() const;
    // A descriptor that poll(2) finds readable from the stop on, and never before.
    int fd() const { return event_.get(); }
    // Stopped once the stop has been asked for, for waits on a condition.
    std::stop_token token() const { return token_; }

    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

  private:
    explicit StopSignal(Fd event) : event_(std::move(event)), token_(source_.get_token()) {}

    Fd event_;
    std::stop_source source_;
    std::stop_token token_;
    // The deadline's time since the clock's epoch; set before the stop is
    // asked for, so that whoever sees the stop sees its deadline.
    std::atomic<Clock::rep> deadline_{0};
};

// Milliseconds until `deadline` for poll(2), rounded up so that a wait never
// ends just before it; 0 once it has passed.
int poll_timeout(StopSignal::Clock::time_point deadline);

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT) or `stop` has
// been asked for; false then. Without a stop, waits for `fd` alone. An error
// of poll(2) other than EINTR counts as ready: the caller's next read or
// write reports it.
bool wait_ready(int fd, short events, const StopSignal* stop);

} // namespace vandrel
