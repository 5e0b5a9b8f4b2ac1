// The frame codec over an in-memory transport: next_frame for small and
// largest payloads, and send.
#include "shared/transport.hpp"

#include <benchmark/benchmark.h>
#include <cstring>

namespace vandrel {
namespace {

// Serves the same frame over and over, each read ending at most at the frame's
// end, as from a client that sends one frame and waits for the answer.
class LoopTransport final : public Transport {
  public:
    explicit LoopTransport(Bytes stream) : stream_(std::move(stream)) {}
    IoResult<std::size_t> read(std::span<std::uint8_t> into) override {
        std::size_t n = std::min(into.size(), stream_.size() - pos_);
        std::memcpy(into.data(), stream_.data() + pos_, n);
        pos_ = (pos_ + n) % stream_.size();
        return n;
    }
    IoResult<std::size_t> write_all(std::span<const std::uint8_t> bytes) override {
        benchmark::DoNotOptimize(bytes.data());
        return bytes.size();
    }
    std::string describe() const override { return "loop"; }

  private:
    Bytes stream_;
    std::size_t pos_ = 0;
};

void BM_NextFrame(benchmark::State& state) {
    auto len = static_cast<std::size_t>(state.range(0));
    Framed framed(std::make_unique<LoopTransport>(*encode_frame(Bytes(len, 'x'))));
    for (auto _ : state) {
        auto frame = framed.next_frame();
        benchmark::DoNotOptimize(frame);
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * (len + FRAME_HEADER_LEN)));
}
BENCHMARK(BM_NextFrame)->Arg(40)->Arg(2063)->Arg(4096);

void BM_Send(benchmark::State& state) {
    Framed framed(std::make_unique<LoopTransport>(Bytes{0}));
    Bytes payload(static_cast<std::size_t>(state.range(0)), 'y');
    for (auto _ : state) {
        auto sent = framed.send(payload);
        benchmark::DoNotOptimize(sent);
    }
}
BENCHMARK(BM_Send)->Arg(2090);

} // namespace
} // namespace vandrel

BENCHMARK_MAIN();
