// The POSIX serial layer on a pseudo-terminal:
//   SilentReadWindow  how late a read on a silent line returns after its window T (argument: T
//                     in ms); the counter late_ms is the mean lateness.
//   WritePiece        one bulk piece of 10240 bytes, a reader draining the other side at once:
//                     the cost of the write loop and its closing tcdrain.
//   TcdrainAlone      tcdrain on the terminal side: what "every byte sent" costs on a pty.
#include <benchmark/benchmark.h>
#include <termios.h>

#include <atomic>
#include <thread>

#include "../tests/posix/pty_fixture.h"
#include "ComPortAPI.h"

namespace {

using namespace ptytest;

constexpr int COM = 9;

// An open, configured port on a fresh pseudo-terminal, for one benchmark.
struct BenchPort {
    explicit BenchPort(DWORD readTimeoutMs) {
        comDir.link(COM, pty.terminalPath());
        handle = openPort(COM);
        ComPortAPI_RestoreDefaults();
        DCB dcb = *ComPortAPI_StagedLineSettings();
        dcb.BaudRate = 115200;
        dcb.fOutxCtsFlow = 0;
        COMMTIMEOUTS cto = *ComPortAPI_StagedTimeouts();
        cto.ReadIntervalTimeout = readTimeoutMs;
        cto.ReadTotalTimeoutConstant = readTimeoutMs;
        ready = handle != INVALID_HANDLE_VALUE && SetCommTimeouts(handle, &cto) &&
                SetCommState(handle, &dcb);
    }
    ~BenchPort() { CloseHandle(handle); }

    ComDirectory comDir;
    PseudoTerminal pty;
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool ready = false;
};

void SilentReadWindow(benchmark::State& state) {
    const auto windowMs = static_cast<DWORD>(state.range(0));
    BenchPort port(windowMs);
    if (!port.ready) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    char buffer[1024];
    double lateMs = 0;
    for (auto _ : state) {
        DWORD got = 0;
        const auto start = std::chrono::steady_clock::now();
        ReadFile(port.handle, buffer, sizeof buffer, &got, nullptr);
        lateMs += msSince(start) - windowMs;
    }
    state.counters["late_ms"] = benchmark::Counter(lateMs, benchmark::Counter::kAvgIterations);
}
BENCHMARK(SilentReadWindow)->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond)->Iterations(10);

void WritePiece(benchmark::State& state) {
    BenchPort port(100);
    if (!port.ready) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    std::atomic<bool> done{false};
    std::thread drain([&] {
        char chunk[65536];
        while (!done) {
            if (read(port.pty.unitSide(), chunk, sizeof chunk) <= 0) {
                break;
            }
        }
    });
    const std::string piece(10240, 'U');
    for (auto _ : state) {
        DWORD written = 0;
        WriteFile(port.handle, piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr);
    }
    done = true;
    CloseHandle(port.handle);  // wakes the drain thread with end of input
    port.handle = INVALID_HANDLE_VALUE;
    port.pty.hangUp();
    drain.join();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 10240);
}
BENCHMARK(WritePiece)->Unit(benchmark::kMicrosecond);

void TcdrainAlone(benchmark::State& state) {
    PseudoTerminal pty;
    const int terminal = open(pty.terminalPath().c_str(), O_RDWR | O_NOCTTY);
    if (terminal < 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    ssize_t queued = write(terminal, "unread", 6);  // tcdrain does not wait for a reader
    benchmark::DoNotOptimize(queued);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tcdrain(terminal));
    }
    close(terminal);
}
BENCHMARK(TcdrainAlone)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
