// An unbounded channel from one producer thread to one consumer thread. Its
// mutex is the program's only lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

namespace vandrel {

template <class T>
class ChannelState {
  public:
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<T> queue;
    bool sender_alive = true;
    bool receiver_alive = true;

    // The sender is gone: a waiting receiver wakes, takes what is queued and
    // then sees the disconnection.
    void sender_gone() {
        {
            std::lock_guard lock(mutex);
            sender_alive = false;
        }
        ready.notify_one();
    }
    // The receiver is gone: what is queued is dropped, and sends fail.
    void receiver_gone() {
        std::lock_guard lock(mutex);
        receiver_alive = false;
        queue.clear();
    }
};

// One end of the channel: it holds the shared state, is moved but never
// copied, and tells the state that its side is gone (`gone`) when it is
// destroyed. Assigning over a live end would skip that; nothing needs it.
template <class T, void (ChannelState<T>::*gone)()>
class ChannelEnd {
  public:
    explicit ChannelEnd(std::shared_ptr<ChannelState<T>> state) : state_(std::move(state)) {}
    ChannelEnd(ChannelEnd&&) noexcept = default;
    ChannelEnd& operator=(ChannelEnd&&) = delete;
    ChannelEnd(const ChannelEnd&) = delete;
    ChannelEnd& operator=(const ChannelEnd&) = delete;
    ~ChannelEnd() {
        if (state_)
            (state_.get()->*gone)();
    }

  protected:
    std::shared_ptr<ChannelState<T>> state_; // empty once moved from
};

// The producer's end. Destroying it disconnects the channel once the queue
// has been drained.
template <class T>
class Sender : public ChannelEnd<T, &ChannelState<T>::sender_gone> {
    using End = ChannelEnd<T, &ChannelState<T>::sender_gone>;

  public:
    using End::End;

    // Queues `value`; false when the receiver is gone (the value is dropped).
    bool send(T value) {
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver_alive)
                return false;
            state_->queue.push_back(std::move(value));
        }
        state_->ready.notify_one();
        return true;
    }

  private:
    using End::state_;
};

// What a receive with a time limit yields.
template <class T>
struct Received {
    enum class Status { Value, TimedOut, Disconnected };
    Status status;
    std::optional<T> value;
};

// The consumer's end. Destroying it drops what is queued, and later sends
// fail.
template <class T>
class Receiver : public ChannelEnd<T, &ChannelState<T>::receiver_gone> {
    using End = ChannelEnd<T, &ChannelState<T>::receiver_gone>;

  public:
    using End::End;

    // The next queued value, waiting at most `limit`; values queued before the
    // sender went are still delivered before disconnection is reported.
    Received<T> receive_for(std::chrono::steady_clock::duration limit) {
        using Status = typename Received<T>::Status;
        std::unique_lock lock(state_->mutex);
        bool woke = state_->ready.wait_for(
            lock, limit, [&] { return !state_->queue.empty() || !state_->sender_alive; });
        if (!state_->queue.empty()) {
            T value = std::move(state_->queue.front());
            state_->queue.pop_front();
            return {Status::Value, std::move(value)};
        }
        return {woke ? Status::Disconnected : Status::TimedOut, std::nullopt};
    }

    // Like the above, but a stop asked for through `stop` (already, or while it
    // waits) ends the wait early, as TimedOut.
    Received<T> receive_for(std::chrono::steady_clock::duration limit, std::stop_token stop) {
        // The wake takes the mutex, so that it cannot fall between the check of
        // the stop below and the wait. Made before the lock is taken: a stop
        // asked for already runs it at once, in this thread.
        ChannelState<T>* state = state_.get();
        std::stop_callback wake(stop, [state] {
            { std::lock_guard lock(state->mutex); }
            state->ready.notify_all();
        });
        using Status = typename Received<T>::Status;
        std::unique_lock lock(state_->mutex);
        bool woke = state_->ready.wait_for(lock, limit, [&] {
            return !state_->queue.empty() || !state_->sender_alive || stop.stop_requested();
        });
        if (!state_->queue.empty()) {
            T value = std::move(state_->queue.front());
            state_->queue.pop_front();
            return {Status::Value, std::move(value)};
        }
        return {woke && !state_->sender_alive ? Status::Disconnected : Status::TimedOut,
                std::nullopt};
    }

  private:
    using End::state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto state = std::make_shared<ChannelState<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

} // namespace vandrel
