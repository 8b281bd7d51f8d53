// The serial port module on the simulated platform: what it asks of the platform, in which
// order, and what it prints and keeps when the platform refuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ComPortAPI.h"
#include "sim_platform.h"

namespace {

constexpr int COM = 3;

std::vector<std::string> callLog() {
    std::vector<std::string> log;
    for (const sim::PlatformCall& call : sim::calls()) {
        log.push_back(call.name + "(" + call.args + ")" + (call.ok ? "" : " failed"));
    }
    return log;
}

std::vector<std::string> callNames() {
    std::vector<std::string> names;
    for (const sim::PlatformCall& call : sim::calls()) {
        names.push_back(call.name);
    }
    return names;
}

// What a run of `action` printed on stdout.
template <typename Action>
std::string printedBy(Action action) {
    testing::internal::CaptureStdout();
    action();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void expectStartUpLineSettings(const DCB& dcb, DWORD baud, DWORD ctsFlow) {
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, baud);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, ctsFlow);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.fDummy2, 0u);
    EXPECT_EQ(dcb.wReserved, 0u);
    EXPECT_EQ(dcb.XonLim, 256u);
    EXPECT_EQ(dcb.XoffLim, 256u);
    EXPECT_EQ(dcb.ByteSize, 8u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.ErrorChar, 0x3F);
    EXPECT_EQ(dcb.EofChar, 0x1A);
    EXPECT_EQ(dcb.EvtChar, 0x10);
    EXPECT_EQ(dcb.wReserved1, 0u);
}

void expectReadTimeout(const COMMTIMEOUTS& cto, DWORD t) {
    EXPECT_EQ(cto.ReadIntervalTimeout, t);
    EXPECT_EQ(cto.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(cto.ReadTotalTimeoutConstant, t);
    EXPECT_EQ(cto.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(cto.WriteTotalTimeoutConstant, 0u);
}

class ComPortApi : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        ComPortAPI_RestoreDefaults();
    }
    void TearDown() override { ComPortAPI_RestoreDefaults(); }

    void openAttached(sim::PortSetup setup = {}) {
        sim::attach(COM, std::move(setup));
        ASSERT_TRUE(ComPortAPI_OpenCOM(COM));
        sim::clearCalls();
    }
};

// ---- The setter rule --------------------------------------------------------------------------

struct SetterCase {
    const char* what;
    BOOL (*set)();
};

const SetterCase EQUAL_TO_STAGED[] = {
    {"baud rate 9600", [] { return ComPortAPI_SetBaudRate(9600); }},
    {"CTS flow on", [] { return ComPortAPI_SetHardwareFlowControl(TRUE); }},
    {"CTS flow 3 (lowest bit on)", [] { return ComPortAPI_SetHardwareFlowControl(3); }},
    {"read timeout 500", [] { return ComPortAPI_SetReadingTimeoutInMs(500); }},
};

TEST_F(ComPortApi, ValueEqualToTheStagedOneSucceedsWithoutAnyPlatformCall) {
    for (bool portOpen : {false, true}) {
        if (portOpen) {
            openAttached();
        }
        for (const SetterCase& c : EQUAL_TO_STAGED) {
            EXPECT_EQ(c.set(), 1) << c.what << (portOpen ? " (open)" : " (closed)");
        }
        EXPECT_TRUE(sim::calls().empty()) << testing::PrintToString(callLog());
    }
}

TEST_F(ComPortApi, SettersOnAnOpenPortApplyTheWholeRecordAtOnce) {
    openAttached();
    EXPECT_EQ(ComPortAPI_SetBaudRate(115200), 1);
    EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(2), 1);  // lowest bit off
    EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(11000), 1);
    EXPECT_EQ(callLog(), (std::vector<std::string>{"SetCommState(baud=115200 cts=1)",
                                                   "SetCommState(baud=115200 cts=0)",
                                                   "SetCommTimeouts(T=11000)"}));
    ASSERT_NE(sim::openLineSettings(COM), nullptr);
    expectStartUpLineSettings(*sim::openLineSettings(COM), 115200, 0);
    expectReadTimeout(*sim::openTimeouts(COM), 11000);
}

TEST_F(ComPortApi, ValuesSetWhileNoPortIsOpenAreStagedForTheNextOpen) {
    EXPECT_EQ(ComPortAPI_SetBaudRate(57600), 0);
    EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(FALSE), 0);
    EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(1000), 0);
    expectStartUpLineSettings(*ComPortAPI_StagedLineSettings(), 57600, 0);
    expectReadTimeout(*ComPortAPI_StagedTimeouts(), 1000);

    sim::attach(COM, {});
    ASSERT_EQ(ComPortAPI_OpenCOM(COM), 1);
    ASSERT_NE(sim::openLineSettings(COM), nullptr);
    expectStartUpLineSettings(*sim::openLineSettings(COM), 57600, 0);
    expectReadTimeout(*sim::openTimeouts(COM), 1000);
}

// ---- Opening ----------------------------------------------------------------------------------

TEST_F(ComPortApi, OpenCreatesConfiguresPurgesAndRaisesDtrInThatOrder) {
    sim::attach(COM, {});
    std::string printed = printedBy([] { EXPECT_EQ(ComPortAPI_OpenCOM(COM), 1); });
    EXPECT_EQ(printed, "");
    EXPECT_EQ(callLog(),
              (std::vector<std::string>{"CreateFileA(\\\\.\\COM3)", "SetupComm(in=8192 out=8192)",
                                        "SetCommTimeouts(T=500)", "SetCommState(baud=9600 cts=1)",
                                        "PurgeComm(0x0F)", "EscapeCommFunction(5)"}));
    EXPECT_NE(g_hCOM, nullptr);
    EXPECT_NE(g_hCOM, INVALID_HANDLE_VALUE);
    ASSERT_NE(sim::openLineSettings(COM), nullptr);
    expectStartUpLineSettings(*sim::openLineSettings(COM), 9600, 1);
    expectReadTimeout(*sim::openTimeouts(COM), 500);
}

struct FailedOpen {
    const char* what;
    bool attached;
    sim::PortSetup setup;
    const char* message;
    std::vector<std::string> calls;
    bool handleLeftInvalid;  // else: the closed handle's stale value
};

void PrintTo(const FailedOpen& c, std::ostream* os) {
    *os << c.what;
}

class OpenFailure : public ComPortApi, public ::testing::WithParamInterface<FailedOpen> {};

TEST_P(OpenFailure, PrintsItsMessageAndLeavesNoPortOpenAndTheStagedSettingsAlone) {
    const FailedOpen& c = GetParam();
    if (c.attached) {
        sim::attach(COM, c.setup);
    }
    std::string printed = printedBy([] { EXPECT_EQ(ComPortAPI_OpenCOM(COM), 0); });
    EXPECT_EQ(printed, c.message);
    EXPECT_EQ(callNames(), c.calls);
    EXPECT_EQ(sim::openLineSettings(COM), nullptr);
    if (c.handleLeftInvalid) {
        EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);
    } else {
        EXPECT_NE(g_hCOM, INVALID_HANDLE_VALUE);
        EXPECT_NE(g_hCOM, nullptr);
        EXPECT_EQ(ComPortAPI_SetBaudRate(4800), 0) << "the stale handle must not reach a port";
    }
    expectReadTimeout(*ComPortAPI_StagedTimeouts(), 500);
}

const std::vector<std::string> CREATE_ONLY = {"CreateFileA"};
const std::vector<std::string> REFUSED_TIMEOUTS = {"CreateFileA", "SetupComm", "SetCommTimeouts",
                                                   "CloseHandle"};
const std::vector<std::string> REFUSED_STATE = {"CreateFileA", "SetupComm", "SetCommTimeouts",
                                                "SetCommState", "CloseHandle"};

sim::PortSetup busyPort() {
    sim::PortSetup setup;
    setup.busy = true;
    return setup;
}
sim::PortSetup refusingTimeouts() {
    sim::PortSetup setup;
    setup.refuseTimeouts = true;
    return setup;
}
sim::PortSetup refusingState() {
    sim::PortSetup setup;
    setup.refuseState = true;
    return setup;
}
sim::PortSetup refusing9600() {
    sim::PortSetup setup;
    setup.refusedBauds = {9600};
    return setup;
}

INSTANTIATE_TEST_SUITE_P(
    Ports, OpenFailure,
    ::testing::Values(
        FailedOpen{"Missing", false, {}, "ERROR: Opening COM3 failed !", CREATE_ONLY, true},
        FailedOpen{"Busy", true, busyPort(), "ERROR: Opening COM3 failed !", CREATE_ONLY, true},
        FailedOpen{"RefusesTimeouts", true, refusingTimeouts(),
                   "ERROR: COM3 configuration failed !", REFUSED_TIMEOUTS, false},
        FailedOpen{"RefusesLineSettings", true, refusingState(),
                   "ERROR: COM3 configuration failed !", REFUSED_STATE, false},
        FailedOpen{"RefusesTheStagedRate", true, refusing9600(),
                   "ERROR: COM3 configuration failed !", REFUSED_STATE, false}),
    [](const ::testing::TestParamInfo<FailedOpen>& test) { return std::string(test.param.what); });

TEST_F(ComPortApi, SetterAfterAFailedOpenFailsButStagesItsValue) {
    printedBy([] { ComPortAPI_OpenCOM(COM); });
    sim::clearCalls();
    EXPECT_EQ(ComPortAPI_SetBaudRate(2400), 0);
    EXPECT_EQ(callLog(), (std::vector<std::string>{"SetCommState(baud=2400 cts=1) failed"}));
    EXPECT_EQ(ComPortAPI_StagedLineSettings()->BaudRate, 2400u);
}

// ---- Closing, reading, writing ----------------------------------------------------------------

TEST_F(ComPortApi, CloseAlwaysSucceedsAndKeepsTheStaleHandle) {
    EXPECT_EQ(ComPortAPI_CloseCOM(), 1);  // nothing ever opened
    EXPECT_EQ(g_hCOM, nullptr);
    openAttached();
    const HANDLE opened = g_hCOM;
    EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
    EXPECT_EQ(ComPortAPI_CloseCOM(), 1);  // already closed
    EXPECT_EQ(g_hCOM, opened);
    EXPECT_EQ(callLog(), (std::vector<std::string>{"CloseHandle()", "CloseHandle() failed"}));
    EXPECT_EQ(sim::openLineSettings(COM), nullptr);
}

TEST_F(ComPortApi, ReadOnASilentLineSucceedsWithNothingAfterOneWindow) {
    openAttached();
    char buffer[64];
    int got = -1;
    const double start = sim::nowMs();
    EXPECT_EQ(ComPortAPI_ReadCOM(buffer, sizeof buffer, &got), TRUE);
    EXPECT_EQ(got, 0);
    EXPECT_DOUBLE_EQ(sim::nowMs() - start, 500.0);
}

TEST_F(ComPortApi, WriteHandsEveryByteToTheLine) {
    openAttached();
    int written = -1;
    EXPECT_EQ(ComPortAPI_WriteCOM("%%GetVer\n\r", 10, &written), TRUE);
    EXPECT_EQ(written, 10);
    const std::vector<uint8_t> wire = sim::writtenTo(COM);
    EXPECT_EQ(std::string(wire.begin(), wire.end()), "%%GetVer\n\r");
}

TEST_F(ComPortApi, ReadsAndWritesWithoutAnOpenPortOrWithNegativeCountsFail) {
    char buffer[8];
    int count = -1;
    EXPECT_EQ(ComPortAPI_ReadCOM(buffer, sizeof buffer, &count), FALSE);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ComPortAPI_WriteCOM("x", 1, &count), FALSE);
    EXPECT_EQ(count, 0);
    openAttached();
    count = -1;
    EXPECT_EQ(ComPortAPI_ReadCOM(buffer, -5, &count), FALSE);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ComPortAPI_WriteCOM(buffer, -5, &count), FALSE);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(sim::calls().empty()) << "negative counts never reach the platform";
}

}  // namespace
