// The cost of handing a payload from one thread to another through the
// channel: a ping-pong between two threads is two hand-offs per round.
#include "base/channel.hpp"
#include "shared/transport.hpp"

#include <benchmark/benchmark.h>
#include <thread>

namespace vandrel {
namespace {

using namespace std::chrono_literals;

void BM_ChannelPingPong(benchmark::State& state) {
    auto [to_echo, echo_in] = make_channel<Bytes>();
    auto [echo_out, back] = make_channel<Bytes>();
    std::thread echo([in = std::move(echo_in), out = std::move(echo_out)]() mutable {
        for (;;) {
            Received<Bytes> got = in.receive_for(1s);
            if (got.status == Received<Bytes>::Status::Disconnected)
                return;
            if (got.value)
                out.send(std::move(*got.value));
        }
    });
    for (auto _ : state) {
        to_echo.send(Bytes(40));
        Received<Bytes> got = back.receive_for(1s);
        benchmark::DoNotOptimize(got);
    }
    { Sender<Bytes> done = std::move(to_echo); }
    echo.join();
}
BENCHMARK(BM_ChannelPingPong)->UseRealTime();

} // namespace
} // namespace vandrel

BENCHMARK_MAIN();
