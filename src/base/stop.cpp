#include "base/stop.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vandrel {

Result<std::unique_ptr<StopSignal>> StopSignal::create() {
    Fd event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!event.valid())
        return BrokerError::io(IoError::last_os());
    return std::unique_ptr<StopSignal>(new StopSignal(std::move(event)));
}

void StopSignal::request(Clock::duration grace) {
    if (requested())
        return;
    deadline_.store((Clock::now() + grace).time_since_epoch().count(), std::memory_order_release);
    source_.request_stop();
    // Never read: the counter stays above zero, and the descriptor readable.
    const std::uint64_t one = 1;
    while (::write(event_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

StopSignal::Clock::time_point StopSignal::deadline() const {
    if (!requested())
        return Clock::time_point::max();
    return Clock::time_point(Clock::duration(deadline_.load(std::memory_order_acquire)));
}

int poll_timeout(StopSignal::Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - StopSignal::Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
}

bool wait_ready(int fd, short events, const StopSignal* stop) {
    pollfd polls[2] = {{fd, events, 0}, {stop != nullptr ? stop->fd() : -1, POLLIN, 0}};
    for (;;) {
        if (stop != nullptr && stop->requested())
            return false;
        const int ready = ::poll(polls, stop != nullptr ? 2 : 1, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || polls[0].revents != 0)
            return true;
    }
}

} // namespace vandrel
