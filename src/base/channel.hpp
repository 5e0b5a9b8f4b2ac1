// An unbounded channel from one producer thread to one consumer thread. Its
// mutex is the program's only lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
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
};

// The producer's end. Destroying it disconnects the channel once the queue
// has been drained.
template <class T>
class Sender {
  public:
    explicit Sender(std::shared_ptr<ChannelState<T>> state) : state_(std::move(state)) {}
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&&) noexcept = delete;
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    ~Sender() {
        if (!state_)
            return;
        {
            std::lock_guard lock(state_->mutex);
            state_->sender_alive = false;
        }
        state_->ready.notify_one();
    }

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
    std::shared_ptr<ChannelState<T>> state_;
};

// What a receive with a time limit yields.
template <class T>
struct Received {
    enum class Status { Value, TimedOut, Disconnected };
    Status status;
    std::optional<T> value;
};

// The consumer's end.
template <class T>
class Receiver {
  public:
    explicit Receiver(std::shared_ptr<ChannelState<T>> state) : state_(std::move(state)) {}
    Receiver(Receiver&&) noexcept = default;
    // Assigning over a live end would skip the disconnect that destruction
    // does; nothing needs it.
    Receiver& operator=(Receiver&&) noexcept = delete;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() {
        if (!state_)
            return;
        std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
        state_->queue.clear();
    }

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

  private:
    std::shared_ptr<ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto state = std::make_shared<ChannelState<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

} // namespace vandrel
