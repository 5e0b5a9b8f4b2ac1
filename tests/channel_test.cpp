#include "base/channel.hpp"

#include <gtest/gtest.h>
#include <thread>

namespace vandrel {
namespace {

using namespace std::chrono_literals;
using Status = Received<int>::Status;

TEST(Channel, QueuedValuesOutliveTheSender) {
    auto [tx, rx] = make_channel<int>();
    {
        Sender<int> gone = std::move(tx);
        EXPECT_TRUE(gone.send(1));
        EXPECT_TRUE(gone.send(2));
    }
    EXPECT_EQ(rx.receive_for(1s).value, 1);
    EXPECT_EQ(rx.receive_for(1s).value, 2);
    EXPECT_EQ(rx.receive_for(1s).status, Status::Disconnected);
}

TEST(Channel, TimesOutWhileTheSenderLives) {
    auto [tx, rx] = make_channel<int>();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rx.receive_for(30ms).status, Status::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(Channel, WakesForAValueFromAnotherThread) {
    auto [tx, rx] = make_channel<int>();
    std::thread producer([tx = std::move(tx)]() mutable {
        std::this_thread::sleep_for(20ms);
        tx.send(42);
    });
    Received<int> got = rx.receive_for(5s);
    producer.join();
    EXPECT_EQ(got.status, Status::Value);
    EXPECT_EQ(got.value, 42);
    EXPECT_EQ(rx.receive_for(5s).status, Status::Disconnected);
}

TEST(Channel, SendFailsOnceTheReceiverIsGone) {
    auto [tx, rx] = make_channel<int>();
    { Receiver<int> gone = std::move(rx); }
    EXPECT_FALSE(tx.send(1));
}

// A stop ends a wait that nothing else would end for a day, as a time-out,
// whether it comes during the wait or before it; a queued value still wins.
TEST(Channel, AStopEndsTheWait) {
    constexpr auto DAY = 24h;
    auto [tx, rx] = make_channel<int>();
    std::stop_source stop;
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(20ms);
        stop.request_stop();
    });
    EXPECT_EQ(rx.receive_for(DAY, stop.get_token()).status, Status::TimedOut);
    stopper.join();
    EXPECT_TRUE(tx.send(7));
    EXPECT_EQ(rx.receive_for(DAY, stop.get_token()).value, 7);
    EXPECT_EQ(rx.receive_for(DAY, stop.get_token()).status, Status::TimedOut);
}

} // namespace
} // namespace vandrel
