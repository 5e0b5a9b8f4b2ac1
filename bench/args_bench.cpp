// Cost of parsing the arguments of a typical connect command, and of the
// integer conversion alone.
#include "shared/args.hpp"

#include <benchmark/benchmark.h>

namespace {

constexpr std::string_view CONNECT_ARGS = "1.2.3.4:27015 76561197960287930 1 77";

void BM_ParseConnectArgs(benchmark::State& state) {
    for (auto _ : state) {
        vandrel::Args args(CONNECT_ARGS);
        auto addr = args.parse_addr("ip addr");
        auto steam_id = args.parse_text("steam id");
        auto secure = args.parse_i32("secure");
        auto challenge = args.parse_i32("challenge");
        if (!addr || !steam_id || !secure || !challenge) {
            state.SkipWithError("connect arguments did not parse");
            break;
        }
        benchmark::DoNotOptimize(addr->port);
        benchmark::DoNotOptimize(steam_id->data());
        benchmark::DoNotOptimize(*secure);
        benchmark::DoNotOptimize(*challenge);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(CONNECT_ARGS.size()));
}
BENCHMARK(BM_ParseConnectArgs);

// Short tokens take the unchecked path, long ones the checked path.
void BM_ToI32(benchmark::State& state, std::string_view token) {
    for (auto _ : state) {
        std::string_view input = token;
        benchmark::DoNotOptimize(input);
        auto value = vandrel::to_i32(input);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK_CAPTURE(BM_ToI32, short, std::string_view("77"));
BENCHMARK_CAPTURE(BM_ToI32, seven_digits, std::string_view("-1234567"));
BENCHMARK_CAPTURE(BM_ToI32, ten_digits, std::string_view("-2147483648"));

} // namespace

BENCHMARK_MAIN();
