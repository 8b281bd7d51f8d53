// The platform calls on a virtual clock, with simulated units on virtual lines.
//
// A handle is a number handed out once per successful CreateFileA and never reused, not even
// across reset(): a stale handle the program still holds from an earlier run can never hit a
// port opened later. Calls on closed, invalid or made-up handles fail and change nothing.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "sim_platform.h"

namespace sim {
namespace {

constexpr char PORT_PREFIX[] = "\\\\.\\COM";
constexpr int MAX_COM = 255;
constexpr uintptr_t FIRST_HANDLE = 0x1000;
constexpr DWORD DCB_SIZE = sizeof(DCB);

struct Port {
    PortSetup setup;
    long long bytesWritten = 0;
};

struct OpenPort {
    int com;
    DCB dcb;
    COMMTIMEOUTS timeouts;
};

struct World {
    double nowMs = 0;
    std::map<int, Port> ports;
    std::map<uintptr_t, OpenPort> open;
    std::vector<PlatformCall> calls;
    std::vector<WireChunk> wire;
    int getchCount = 0;
};

World& world() {
    static World instance;
    return instance;
}

uintptr_t nextHandleValue() {
    static uintptr_t next = FIRST_HANDLE;
    return next++;
}

OpenPort* findOpen(HANDLE handle) {
    auto& open = world().open;
    const auto found = open.find(reinterpret_cast<uintptr_t>(handle));
    return found == open.end() ? nullptr : &found->second;
}

OpenPort* findOpenCom(int com) {
    for (auto& [value, port] : world().open) {
        if (port.com == com) {
            return &port;
        }
    }
    return nullptr;
}

Port& portOf(const OpenPort& open) {
    return world().ports.at(open.com);
}

UnitModel* unitOf(const OpenPort& open) {
    return portOf(open).setup.unit.get();
}

BOOL record(const char* name, std::string args, BOOL ok) {
    world().calls.push_back({name, std::move(args), world().nowMs, ok != FALSE});
    return ok;
}

// The n of "\\.\COMn" for 1 <= n <= 255, written without sign or leading zero.
std::optional<int> comNumberOf(const char* name) {
    const size_t prefixLength = sizeof(PORT_PREFIX) - 1;
    if (name == nullptr || std::strncmp(name, PORT_PREFIX, prefixLength) != 0) {
        return std::nullopt;
    }
    const std::string digits = name + prefixLength;
    if (digits.empty() || digits.size() > 3 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const int number = std::stoi(digits);
    return number <= MAX_COM ? std::optional<int>(number) : std::nullopt;
}

bool mayOpen(int com) {
    const auto found = world().ports.find(com);
    return found != world().ports.end() && found->second.setup.exists &&
           !found->second.setup.busy && findOpenCom(com) == nullptr;
}

DCB freshLineSettings() {
    DCB dcb{};
    dcb.DCBlength = DCB_SIZE;
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    return dcb;
}

bool refusesState(const PortSetup& setup, DWORD baud) {
    for (const uint32_t refused : setup.refusedBauds) {
        if (refused == baud) {
            return true;
        }
    }
    return setup.refuseState || baud == 0;
}

bool isHungUp(const OpenPort& open) {
    const UnitModel* unit = unitOf(open);
    return unit != nullptr && unit->hungUp();
}

double lineTimeMs(size_t bytes, DWORD baud) {
    return static_cast<double>(bytes) * 10000.0 / baud;
}

void logWire(int com, uint32_t baud, bool fromProgram, const uint8_t* bytes, size_t n,
             double atMs) {
    if (n != 0) {
        world().wire.push_back({atMs, com, baud, fromProgram, {bytes, bytes + n}});
    }
}

// Everything the unit delivers by the read's deadline, or the first `wanted` bytes as soon as
// they are in. Returns the bytes; moves the clock to when the read returns.
std::vector<uint8_t> readWindow(const OpenPort& open, size_t wanted) {
    const double deadlineMs =
        world().nowMs + open.timeouts.ReadTotalTimeoutConstant +
        static_cast<double>(open.timeouts.ReadTotalTimeoutMultiplier) * static_cast<double>(wanted);
    std::vector<uint8_t> got;
    UnitModel* unit = unitOf(open);
    if (unit != nullptr && wanted != 0) {
        unit->deliver(deadlineMs, open.dcb.BaudRate, got, wanted);
        if (got.size() < wanted) {
            // Only a read that runs to its deadline lets the unit's time pass that far.
            unit->advance(deadlineMs);
            unit->deliver(deadlineMs, open.dcb.BaudRate, got, wanted - got.size());
        }
    }
    if (wanted == 0) {
        return got;
    }
    const bool filled = unit != nullptr && got.size() == wanted;
    world().nowMs = filled ? std::max(world().nowMs, unit->lastDeliveredMs()) : deadlineMs;
    return got;
}

bool writeRefused(const OpenPort& open) {
    const Port& port = portOf(open);
    const long long limit = port.setup.failWritesAfterBytes;
    return isHungUp(open) || (limit >= 0 && port.bytesWritten >= limit);
}

}  // namespace

void reset() {
    World& w = world();
    w = World{};
}

void attach(int comNumber, PortSetup setup) {
    world().ports[comNumber] = {std::move(setup), 0};
}

double nowMs() {
    return world().nowMs;
}

const std::vector<PlatformCall>& calls() {
    return world().calls;
}

void clearCalls() {
    world().calls.clear();
}

const std::vector<WireChunk>& wire() {
    return world().wire;
}

std::vector<uint8_t> writtenTo(int comNumber) {
    std::vector<uint8_t> bytes;
    for (const WireChunk& chunk : world().wire) {
        if (chunk.com == comNumber && chunk.fromProgram) {
            bytes.insert(bytes.end(), chunk.bytes.begin(), chunk.bytes.end());
        }
    }
    return bytes;
}

const DCB* openLineSettings(int comNumber) {
    const OpenPort* open = findOpenCom(comNumber);
    return open == nullptr ? nullptr : &open->dcb;
}

const COMMTIMEOUTS* openTimeouts(int comNumber) {
    const OpenPort* open = findOpenCom(comNumber);
    return open == nullptr ? nullptr : &open->timeouts;
}

int getchCount() {
    return world().getchCount;
}

}  // namespace sim

using sim::findOpen;
using sim::record;

HANDLE CreateFileA(LPCSTR fileName, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    const std::optional<int> com = sim::comNumberOf(fileName);
    if (!com || !sim::mayOpen(*com)) {
        record("CreateFileA", fileName == nullptr ? "" : fileName, FALSE);
        return INVALID_HANDLE_VALUE;
    }
    const uintptr_t value = sim::nextHandleValue();
    sim::world().open[value] = {*com, sim::freshLineSettings(), COMMTIMEOUTS{}};
    // The driver's input queue starts empty: what the unit sent before is gone.
    if (UnitModel* unit = sim::unitOf(sim::world().open[value]); unit != nullptr) {
        unit->discardArrived(sim::nowMs());
    }
    record("CreateFileA", fileName, TRUE);
    return reinterpret_cast<HANDLE>(value);
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    return record("SetupComm", "in=" + std::to_string(inQueue) + " out=" + std::to_string(outQueue),
                  findOpen(file) != nullptr);
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
    sim::OpenPort* open = findOpen(file);
    if (timeouts == nullptr) {
        return record("SetCommTimeouts", "", FALSE);
    }
    const std::string args = "T=" + std::to_string(timeouts->ReadTotalTimeoutConstant);
    if (open == nullptr || sim::portOf(*open).setup.refuseTimeouts) {
        return record("SetCommTimeouts", args, FALSE);
    }
    open->timeouts = *timeouts;
    return record("SetCommTimeouts", args, TRUE);
}

BOOL SetCommState(HANDLE file, DCB* dcb) {
    sim::OpenPort* open = findOpen(file);
    if (dcb == nullptr) {
        return record("SetCommState", "", FALSE);
    }
    const std::string args =
        "baud=" + std::to_string(dcb->BaudRate) + " cts=" + std::to_string(dcb->fOutxCtsFlow);
    if (open == nullptr || sim::refusesState(sim::portOf(*open).setup, dcb->BaudRate)) {
        return record("SetCommState", args, FALSE);
    }
    open->dcb = *dcb;
    return record("SetCommState", args, TRUE);
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    char args[16];
    std::snprintf(args, sizeof args, "0x%02X", static_cast<unsigned>(flags));
    const sim::OpenPort* open = findOpen(file);
    if (open == nullptr) {
        return record("PurgeComm", args, FALSE);
    }
    if (UnitModel* unit = sim::unitOf(*open); unit != nullptr && (flags & PURGE_RXCLEAR) != 0) {
        unit->discardArrived(sim::nowMs());
    }
    return record("PurgeComm", args, TRUE);
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
    return record("EscapeCommFunction", std::to_string(function), findOpen(file) != nullptr);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void*) {
    const double startMs = sim::nowMs();
    const std::string args = "n=" + std::to_string(bytesToRead);
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    const sim::OpenPort* open = findOpen(file);
    if (open == nullptr || buffer == nullptr || bytesRead == nullptr || sim::isHungUp(*open)) {
        return record("ReadFile", args, FALSE);
    }
    const std::vector<uint8_t> got = sim::readWindow(*open, bytesToRead);
    std::copy(got.begin(), got.end(), static_cast<uint8_t*>(buffer));
    *bytesRead = static_cast<DWORD>(got.size());
    sim::logWire(open->com, open->dcb.BaudRate, false, got.data(), got.size(), startMs);
    sim::world().calls.push_back({"ReadFile", args, startMs, true});
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void*) {
    const std::string args = "n=" + std::to_string(bytesToWrite);
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    const sim::OpenPort* open = findOpen(file);
    if (open == nullptr || bytesWritten == nullptr || (buffer == nullptr && bytesToWrite != 0) ||
        sim::writeRefused(*open)) {
        return record("WriteFile", args, FALSE);
    }
    record("WriteFile", args, TRUE);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    sim::logWire(open->com, open->dcb.BaudRate, true, bytes, bytesToWrite, sim::nowMs());
    sim::world().nowMs += sim::lineTimeMs(bytesToWrite, open->dcb.BaudRate);
    if (UnitModel* unit = sim::unitOf(*open); unit != nullptr) {
        unit->receive(sim::nowMs(), bytes, bytesToWrite, open->dcb.BaudRate);
    }
    sim::portOf(*open).bytesWritten += bytesToWrite;
    *bytesWritten = bytesToWrite;
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    const bool wasOpen = sim::world().open.erase(reinterpret_cast<uintptr_t>(object)) != 0;
    return record("CloseHandle", "", wasOpen);
}

void Sleep(DWORD milliseconds) {
    record("Sleep", std::to_string(milliseconds), TRUE);
    sim::world().nowMs += milliseconds;
}

int _getch(void) {
    record("_getch", "", TRUE);
    ++sim::world().getchCount;
    return '\r';
}

BOOL platform_ReplaceFile(const char* from, const char* to) {
    return from != nullptr && to != nullptr && std::rename(from, to) == 0;
}
