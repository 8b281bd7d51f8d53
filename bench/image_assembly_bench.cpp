// One image assembly pass over each embedded image, and the image checksum alone.
//
// A pass destroys its working copy, so every iteration needs a fresh one:
//   AssemblyWithCopy  times the copy of the text and the pass, as the program does them;
//   AssemblyOnly      makes the copy with the timer paused and times the pass alone.
// Arguments: the image row (0 controller, 1 TX logic, 2 RX logic).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BrivantaFwUpgrade.h"
#include "IntelHex.h"
#include "firmware/BinImage.h"

namespace {

std::vector<char> emptyWorkingCopy(int row) {
    return std::vector<char>(static_cast<size_t>(AUTOGEN_FILES[row].fileDataLength) + 16, '\0');
}

void refill(std::vector<char>& workingCopy, int row) {
    memcpy(workingCopy.data(), AUTOGEN_FILES[row].fileData,
           static_cast<size_t>(AUTOGEN_FILES[row].fileDataLength));
}

void assembleOrFail(benchmark::State& state, std::vector<char>& workingCopy) {
    if (!ValidateFwAndConcatenateData(workingCopy.data())) state.SkipWithError("assembly failed");
}

// The image length and checksum let bench/compare_tools.sh check the other tools' output.
void setCounters(benchmark::State& state, int row) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            AUTOGEN_FILES[row].fileDataLength);
    state.counters["image_length"] = gDataConcatenatedLenght;
    state.counters["checksum"] = imageChecksum(gDataConcatenated, gDataConcatenatedLenght);
}

// One pass per iteration over a fresh copy; `copyTimed` says whether making the copy counts.
void runAssembly(benchmark::State& state, bool copyTimed) {
    const int row = static_cast<int>(state.range(0));
    std::vector<char> workingCopy = emptyWorkingCopy(row);
    for (auto _ : state) {
        if (!copyTimed) state.PauseTiming();
        refill(workingCopy, row);
        if (!copyTimed) state.ResumeTiming();
        assembleOrFail(state, workingCopy);
        benchmark::DoNotOptimize(gDataConcatenated);
    }
    setCounters(state, row);
}

void AssemblyWithCopy(benchmark::State& state) {
    runAssembly(state, true);
}
void AssemblyOnly(benchmark::State& state) {
    runAssembly(state, false);
}

void ImageChecksum(benchmark::State& state) {
    const int row = static_cast<int>(state.range(0));
    std::vector<char> workingCopy = emptyWorkingCopy(row);
    refill(workingCopy, row);
    if (!ValidateFwAndConcatenateData(workingCopy.data())) state.SkipWithError("assembly failed");
    for (auto _ : state) {
        benchmark::DoNotOptimize(imageChecksum(gDataConcatenated, gDataConcatenatedLenght));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * gDataConcatenatedLenght);
}

// The record reader on one 16-byte data record line, as assembly asks it for every record.
constexpr const char* DATA_RECORD_LINE = ":10800000481FD7038001517CE08F10000000000062";

void RecordLineIsValid(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(intel_hex_line_is_valid(DATA_RECORD_LINE));
}

void RecordLineAddress(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(intel_hex_line_address(DATA_RECORD_LINE));
}

void RecordLineDataArray(benchmark::State& state) {
    for (auto _ : state) {
        uint8_t* data = new_u8_data_array_from_intel_hex_string(DATA_RECORD_LINE);
        benchmark::DoNotOptimize(data);
        free(data);
    }
}

BENCHMARK(RecordLineIsValid);
BENCHMARK(RecordLineAddress);
BENCHMARK(RecordLineDataArray);
BENCHMARK(AssemblyWithCopy)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(AssemblyOnly)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(ImageChecksum)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

}  // namespace

// The start-up buffers live for the whole run, as in the program.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!allocateStartupBuffers()) {
        fprintf(stderr, "cannot allocate the start-up buffers\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    releaseStartupBuffers();
    return 0;
}
