// The POSIX serial functions against real pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "ComPortAPI.h"
#include "pty_fixture.h"

namespace {

using namespace ptytest;
using namespace std::chrono_literals;

constexpr int COM = 5;
constexpr DWORD T_MS = 200;

COMMTIMEOUTS readTimeouts(DWORD t) {
    COMMTIMEOUTS cto = *ComPortAPI_StagedTimeouts();
    cto.ReadIntervalTimeout = t;
    cto.ReadTotalTimeoutConstant = t;
    return cto;
}

DCB lineSettings(DWORD baud, bool cts) {
    ComPortAPI_RestoreDefaults();
    DCB dcb = *ComPortAPI_StagedLineSettings();
    dcb.BaudRate = baud;
    dcb.fOutxCtsFlow = cts ? 1 : 0;
    return dcb;
}

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        comDir.link(COM, pty.terminalPath());
        port = openPort(COM);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS cto = readTimeouts(T_MS);
        DCB dcb = lineSettings(115200, false);
        ASSERT_TRUE(SetCommTimeouts(port, &cto));
        ASSERT_TRUE(SetCommState(port, &dcb));
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
        }
    }
    std::string read(DWORD count, BOOL* ok = nullptr) {
        std::string buffer(count, '\xEE');
        DWORD got = 12345;
        const BOOL result = ReadFile(port, buffer.data(), count, &got, nullptr);
        if (ok != nullptr) {
            *ok = result;
        }
        buffer.resize(got <= count ? got : 0);
        return buffer;
    }

    ComDirectory comDir;
    PseudoTerminal pty;
    HANDLE port = INVALID_HANDLE_VALUE;
};

// ---- Read timing ------------------------------------------------------------------------------

struct Burst {
    int afterMs;  // after the read began; negative: queued before it
    std::string bytes;
};

struct ReadCase {
    const char* name;
    std::vector<Burst> bursts;
    DWORD request;
    std::string expected;
    double minMs, maxMs;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadTiming : public SerialPort, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadTiming, ReturnsOnCountOrAtWindowEndWithEverythingThatArrived) {
    const ReadCase& c = GetParam();
    for (const Burst& burst : c.bursts) {
        if (burst.afterMs < 0) {
            pty.send(burst.bytes);
        }
    }
    std::this_thread::sleep_for(20ms);  // let queued bytes reach the terminal side
    const auto start = std::chrono::steady_clock::now();
    std::thread unit([&] {
        for (const Burst& burst : c.bursts) {
            if (burst.afterMs >= 0) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(burst.afterMs));
                pty.send(burst.bytes);
            }
        }
    });
    BOOL ok = FALSE;
    const std::string got = read(c.request, &ok);
    const double elapsed = msSince(start);
    unit.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, c.expected);
    EXPECT_GE(elapsed, c.minMs);
    EXPECT_LE(elapsed, c.maxMs);
}

const std::string NULS("a\0b\0\0c", 6);

INSTANTIATE_TEST_SUITE_P(
    Window, ReadTiming,
    ::testing::Values(
        ReadCase{"SilentLine", {}, 100, "", 100, 300},
        ReadCase{"ReplySplitInTwoBursts",
                 {{20, "VER 1.02"}, {120, "\r\n>>"}},
                 1000,
                 "VER 1.02\r\n>>",
                 100,
                 300},
        ReadCase{"QueuedCountReturnsAtOnce", {{-1, "0123456789"}}, 10, "0123456789", 0, 100},
        ReadCase{
            "CountCompletedBySecondBurst", {{20, "abc"}, {60, "defgh"}}, 8, "abcdefgh", 40, 150},
        ReadCase{"NulBytesDelivered", {{30, NULS}}, 1000, NULS, 100, 300}),
    [](const ::testing::TestParamInfo<ReadCase>& test) { return std::string(test.param.name); });

// ---- Writes -----------------------------------------------------------------------------------

TEST_F(SerialPort, WriteReturnsOnlyWhenEveryByteOfAMebibyteIsTaken) {
    std::string image(1 << 20, '\0');
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>(i * 7 + i / 251);
    }
    std::string received;
    std::thread slowUnit([&] {
        char chunk[4096];
        while (received.size() < image.size()) {
            const ssize_t n = ::read(pty.unitSide(), chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            received.append(chunk, static_cast<size_t>(n));
            std::this_thread::sleep_for(200us);
        }
    });
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(port, image.data(), static_cast<DWORD>(image.size()), &written, nullptr));
    EXPECT_EQ(written, image.size());
    slowUnit.join();
    EXPECT_TRUE(received == image) << "received " << received.size() << " bytes";
}

TEST_F(SerialPort, PurgeDiscardsPendingInput) {
    pty.send("stale bytes");
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_EQ(read(100), "");
}

TEST_F(SerialPort, HangUpOfTheOtherSideFailsAtOnceInsteadOfWaitingOrSpinning) {
    COMMTIMEOUTS longWindow = readTimeouts(5000);
    ASSERT_TRUE(SetCommTimeouts(port, &longWindow));
    pty.hangUp();
    const auto start = std::chrono::steady_clock::now();
    BOOL ok = TRUE;
    EXPECT_EQ(read(100, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_LT(msSince(start), 1000);
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(port, "x", 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
}

// ---- Opening ----------------------------------------------------------------------------------

TEST_F(SerialPort, PortInUseCannotBeOpenedAgainUntilClosed) {
    EXPECT_EQ(openPort(COM), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(port));
    port = openPort(COM);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
}

TEST_F(SerialPort, ClosedAndInvalidHandlesFailEveryCallCleanly) {
    HANDLE closed = port;
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    for (HANDLE h : {closed, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr),
                     reinterpret_cast<HANDLE>(static_cast<intptr_t>(3))}) {
        COMMTIMEOUTS cto = readTimeouts(T_MS);
        DCB dcb = lineSettings(9600, false);
        char buffer[8];
        DWORD count = 77;
        EXPECT_FALSE(SetupComm(h, RX_SIZE, TX_SIZE));
        EXPECT_FALSE(SetCommTimeouts(h, &cto));
        EXPECT_FALSE(SetCommState(h, &dcb));
        EXPECT_FALSE(PurgeComm(h, 0x0F));
        EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(WriteFile(h, "x", 1, &count, nullptr));
        EXPECT_FALSE(CloseHandle(h));
    }
}

TEST(PortNames, ComDirectoryLinksNameThePortsAndNothingElseOpens) {
    PseudoTerminal pty;
    ComDirectory comDir;
    ASSERT_TRUE(pty.ok());
    comDir.link(40, pty.terminalPath());
    comDir.link(6, "/dev/null");  // exists, but is no terminal
    const std::string plainFile = (comDir.path() / "plain").string();
    std::ofstream(plainFile) << "x";
    comDir.link(7, plainFile);

    HANDLE port = openPort(40);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
    for (const char* name :
         {"\\\\.\\COM6", "\\\\.\\COM7", "\\\\.\\COM8", "COM40", "\\\\.\\COM040", "\\\\.\\COM40x",
          "\\\\.\\COM-40", "\\\\.\\COM", "\\\\.\\COM+40", "\\\\.\\COM1234567890"}) {
        EXPECT_EQ(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_SYSTEM, nullptr),
                  INVALID_HANDLE_VALUE)
            << name;
    }
}

TEST(PortNames, WithoutComDirectoryOnlyComOneToThirtyTwoAreMapped) {
    ComDirectory comDir;
    unsetenv("BRIVANTA_COM_DIR");
    for (int number : {0, 33, 40, 255}) {
        EXPECT_EQ(openPort(number), INVALID_HANDLE_VALUE) << number;
    }
}

// ---- Line settings ----------------------------------------------------------------------------

struct LineCase {
    DWORD baud;
    bool cts;
    speed_t expectedSpeed;
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.baud << (c.cts ? " with CTS" : " without CTS");
}

class LineSettings : public SerialPort, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineSettings, RawEightNoneOneAtTheRateAndFlowControlAsked) {
    DCB dcb = lineSettings(GetParam().baud, GetParam().cts);
    ASSERT_TRUE(SetCommState(port, &dcb));
    const std::optional<termios> tio = pty.lineSettings();
    ASSERT_TRUE(tio);
    EXPECT_EQ(cfgetospeed(&*tio), GetParam().expectedSpeed);
    EXPECT_EQ(cfgetispeed(&*tio), GetParam().expectedSpeed);
    EXPECT_EQ((tio->c_cflag & CRTSCTS) != 0, GetParam().cts);
    EXPECT_EQ(tio->c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio->c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio->c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio->c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio->c_oflag & OPOST, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, LineSettings,
    ::testing::Values(LineCase{1200, false, B1200}, LineCase{2400, true, B2400},
                      LineCase{4800, false, B4800}, LineCase{9600, true, B9600},
                      LineCase{57600, false, B57600}, LineCase{115200, true, B115200},
                      LineCase{230400, false, B230400}),
    [](const ::testing::TestParamInfo<LineCase>& test) {
        return std::to_string(test.param.baud) + (test.param.cts ? "Cts" : "NoCts");
    });

TEST_F(SerialPort, SettingsTheLineCannotTakeAreRefusedAndLeaveItAsItWas) {
    struct Refused {
        const char* what;
        void (*change)(DCB&);
    };
    const Refused cases[] = {
        {"rate without a termios speed", [](DCB& d) { d.BaudRate = 12345; }},
        {"rate 0", [](DCB& d) { d.BaudRate = 0; }},
        {"7 data bits", [](DCB& d) { d.ByteSize = 7; }},
        {"even parity", [](DCB& d) { d.Parity = 2; }},
        {"two stop bits", [](DCB& d) { d.StopBits = 2; }},
    };
    for (const Refused& c : cases) {
        DCB dcb = lineSettings(115200, false);
        c.change(dcb);
        EXPECT_FALSE(SetCommState(port, &dcb)) << c.what;
        const std::optional<termios> tio = pty.lineSettings();
        ASSERT_TRUE(tio);
        EXPECT_EQ(cfgetospeed(&*tio), static_cast<speed_t>(B115200)) << c.what;
    }
}

TEST(SleepCall, WaitsAtLeastTheTimeAsked) {
    const auto start = std::chrono::steady_clock::now();
    Sleep(60);
    EXPECT_GE(msSince(start), 60.0);
}

}  // namespace
