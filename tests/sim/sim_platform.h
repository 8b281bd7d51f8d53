// The simulated platform: the program's operating-system calls (platform/platform.h) served by a
// virtual clock and virtual serial lines, some with a simulated unit on them.
//
// Time is virtual and only moves when the program blocks:
//   ReadFile with read timeout T (ReadTotalTimeoutConstant, plus the multiplier per byte asked
//     for; the interval limit is not modelled, it never ends the program's reads first) advances
//     the clock by T, less if the requested count arrives first, and returns what the unit
//     delivered by then, at the port's baud rate (another rate than the unit's gives garbage);
//   WriteFile hands the bytes to the unit as arrived at the end of their line time at the port's
//     baud rate (10 bits a byte, 8N1) and advances the clock by that time;
//   Sleep advances the clock.
// Opening a port, and PurgeComm with PURGE_RXCLEAR, drop what the unit sent before. Once the unit
// has hung up (Fault::HangUp), reads and writes on its port fail.
// A whole update, the reboot wait included, runs in milliseconds and deterministically.
#ifndef BRIVANTA_SIM_PLATFORM_H
#define BRIVANTA_SIM_PLATFORM_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "UnitModel.h"
#include "platform/platform.h"

namespace sim {

using ::Fault;
using ::UnitConfig;
using ::UnitModel;

struct PortSetup {
    bool exists = true;                  // CreateFileA finds the device
    bool busy = false;                   // another program holds it: CreateFileA fails
    bool refuseTimeouts = false;         // SetCommTimeouts fails on this port
    bool refuseState = false;            // SetCommState fails on this port
    std::vector<uint32_t> refusedBauds;  // SetCommState fails for these rates only
    // Writes fail once this many bytes have been written in all (-1: never).
    long long failWritesAfterBytes = -1;
    // The unit on the line; null for a port with nothing attached (silent).
    std::shared_ptr<UnitModel> unit;
};

// One platform call, for tests of what the program asked of the platform. Arguments:
// CreateFileA the name; SetupComm "in=8192 out=8192"; SetCommTimeouts
// "T=<ReadTotalTimeoutConstant>"; SetCommState "baud=<BaudRate> cts=<fOutxCtsFlow>"; PurgeComm
// "0x0F"; EscapeCommFunction "5"; ReadFile and WriteFile "n=<count asked>" (what moved is in
// wire()); Sleep "<ms>"; CloseHandle and _getch "".
struct PlatformCall {
    std::string name;  // "CreateFileA", "SetupComm", "SetCommTimeouts", "SetCommState",
                       // "PurgeComm", "EscapeCommFunction", "ReadFile", "WriteFile",
                       // "CloseHandle", "Sleep", "_getch"
    std::string args;  // e.g. "\\\\.\\COM3", "baud=115200 cts=1", "T=1000", "n=10", "0x0F", "5"
    double atMs;       // virtual time at the call (a read's window begins there)
    bool ok;           // the call's result
};

// Bytes that crossed a line: written by the program, or delivered to it by a read.
struct WireChunk {
    double atMs;
    int com;
    uint32_t baud;     // the port's rate at the time
    bool fromProgram;  // true: WriteFile; false: ReadFile
    std::vector<uint8_t> bytes;
};

// Back to the start: no ports, clock at 0, logs empty.
void reset();
// Puts a port COMn (1 to 255) in place; ports not attached do not exist.
void attach(int comNumber, PortSetup setup);
double nowMs();
const std::vector<PlatformCall>& calls();
void clearCalls();
const std::vector<WireChunk>& wire();
// Everything the program wrote on COMn, concatenated.
std::vector<uint8_t> writtenTo(int comNumber);
// The open handle's current settings, or null when COMn is not open.
const DCB* openLineSettings(int comNumber);
const COMMTIMEOUTS* openTimeouts(int comNumber);
int getchCount();

}  // namespace sim

#endif  // BRIVANTA_SIM_PLATFORM_H
