// Costs of the gateway frame code on the send and read paths: building and serialising a
// frame with its CRC, the CRC alone, and parsing received frames. The logger is not set
// up, so log statements cost what a disabled statement costs in the daemon.

#include <benchmark/benchmark.h>

#include <vector>

#include "messages/CRC16.h"
#include "messages/QuarnMessageBuilder.h"

using namespace Quarn::Messages;

namespace {

void BM_CRC16XModem(benchmark::State& state) {
    const std::vector<unsigned char> data(static_cast<size_t>(state.range(0)), 0xA5);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Quarn::CRC::CRC16::XModem(data));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CRC16XModem)->Arg(19)->Arg(255);

void BM_SerializeGetStatus(benchmark::State& state) {
    QuarnMessageBuilder builder(41, 5);
    auto message = builder.BuildGetStatusMessage(0x100);
    for (auto _ : state) {
        benchmark::DoNotOptimize(message->Serialize());
    }
}
BENCHMARK(BM_SerializeGetStatus);

void BM_SerializeLargestFrame(benchmark::State& state) {
    QuarnMessageBuilder builder(41, 5);
    auto message =
        builder.BuildAddToWhitelistMessage(7, false, 1, 0, std::vector<unsigned char>(233, 0x5A));
    for (auto _ : state) {
        benchmark::DoNotOptimize(message->Serialize());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 255);
}
BENCHMARK(BM_SerializeLargestFrame);

// What the gateway does per request: build, stamp at send time, serialise.
void BM_BuildStampSerializeOpenLock(benchmark::State& state) {
    QuarnMessageBuilder builder(41, 5);
    for (auto _ : state) {
        auto message = builder.BuildOpenLockMessage(0x12345, 0, 300, false);
        builder.Stamp(*message);
        benchmark::DoNotOptimize(message->Serialize());
    }
}
BENCHMARK(BM_BuildStampSerializeOpenLock);

void BM_BuildSerializeUidWhitelist(benchmark::State& state) {
    QuarnMessageBuilder builder(41, 5);
    const std::vector<unsigned char> card{0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            builder.BuildAddToWhitelistMessage(0x12345, true, 0, 1, card)->Serialize());
    }
}
BENCHMARK(BM_BuildSerializeUidWhitelist);

void BM_ParseSequenceCounterError(benchmark::State& state) {
    const std::vector<unsigned char> frame{0x18, 0xFE, 0xFD, 0x13, 1, 0, 0, 0x85, 0, 0, 0, 42,
                                           0,    0,    1,    0,    0, 7, 0, 0,    1, 0, 0, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(QuarnMessageBuilder::Parse(frame));
    }
}
BENCHMARK(BM_ParseSequenceCounterError);

void BM_ParseCardReaderEvent(benchmark::State& state) {
    const std::vector<unsigned char> frame{0x1E, 0xFE, 0xFD, 0x19, 1, 0,    0,    0,    0, 0,
                                           0,    0,    0,    0,    0, 0x12, 0x0E, 1,    2, 3,
                                           4,    5,    6,    7,    3, 0x04, 0xA1, 0x0B, 0, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(QuarnMessageBuilder::Parse(frame));
    }
}
BENCHMARK(BM_ParseCardReaderEvent);

}  // namespace

BENCHMARK_MAIN();
