#include "sim_platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

constexpr char COM1[] = "\\\\.\\COM1";
constexpr char PROBE[] = "%%%help -c version\n\r";
constexpr char PROBE_REPLY[] =
    "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";

HANDLE openPort(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_SYSTEM, nullptr);
}

class SimPlatform : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }

    // COM1 with a unit whose console runs at `baud`, opened at that rate with read timeout T.
    HANDLE attachAndOpen(uint32_t baud, DWORD readTimeoutMs, UnitConfig config = {}) {
        config.consoleBaud = baud;
        unit = std::make_shared<UnitModel>(config);
        sim::PortSetup setup;
        setup.unit = unit;
        sim::attach(1, setup);
        HANDLE port = openPort(COM1);
        setRate(port, baud);
        COMMTIMEOUTS timeouts{readTimeoutMs, 0, readTimeoutMs, 0, 0};
        EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
        return port;
    }

    static void setRate(HANDLE port, uint32_t baud) {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        dcb.BaudRate = baud;
        dcb.ByteSize = 8;
        EXPECT_TRUE(SetCommState(port, &dcb));
    }

    static DWORD write(HANDLE port, const std::string& bytes) {
        DWORD written = 0;
        EXPECT_TRUE(
            WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        return written;
    }

    static std::string read(HANDLE port, DWORD count = 1023999) {
        std::string buffer(count, '\0');
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(port, buffer.data(), count, &got, nullptr));
        buffer.resize(got);
        return buffer;
    }

    std::shared_ptr<UnitModel> unit;
};

TEST_F(SimPlatform, SilentReadReturnsNothingAfterTheWholeWindow) {
    sim::attach(2, {});
    HANDLE port = openPort("\\\\.\\COM2");
    COMMTIMEOUTS timeouts{500, 0, 500, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    const double start = sim::nowMs();
    EXPECT_EQ(read(port), "");
    EXPECT_DOUBLE_EQ(sim::nowMs(), start + 500);
}

TEST_F(SimPlatform, ReplySpreadOverWindowsIsReadInPieces) {
    HANDLE port = attachAndOpen(9600, 40);  // the 74-byte reply takes 77 ms at 9600
    write(port, PROBE);
    std::string reply;
    std::vector<size_t> sizes;
    for (std::string chunk = read(port); !chunk.empty(); chunk = read(port)) {
        sizes.push_back(chunk.size());
        reply += chunk;
    }
    EXPECT_EQ(reply, PROBE_REPLY);
    EXPECT_GE(sizes.size(), 2u);
}

TEST_F(SimPlatform, ReadEndsWhenTheCountHasArrived) {
    HANDLE port = attachAndOpen(9600, 1000);
    write(port, PROBE);
    const double writtenMs = sim::nowMs();
    EXPECT_EQ(read(port, 7), "version");
    EXPECT_DOUBLE_EQ(sim::nowMs(), writtenMs + 20 + 7 * 10000.0 / 9600);
    EXPECT_EQ(read(port), std::string(PROBE_REPLY).substr(7));
    EXPECT_DOUBLE_EQ(sim::nowMs(), writtenMs + 20 + 7 * 10000.0 / 9600 + 1000);
}

TEST_F(SimPlatform, WritesTakeTheirLineTime) {
    struct Case {
        uint32_t baud;
        size_t bytes;
        double ms;
    };
    const Case cases[] = {{9600, 10, 10000.0 / 960}, {115200, 10240, 102400000.0 / 115200}};
    for (const Case& c : cases) {
        HANDLE port = attachAndOpen(c.baud, 500);
        const double start = sim::nowMs();
        EXPECT_EQ(write(port, std::string(c.bytes, 'x')), c.bytes);
        EXPECT_DOUBLE_EQ(sim::nowMs() - start, c.ms) << c.baud;
        EXPECT_EQ(sim::writtenTo(1).size(), c.bytes);
        CloseHandle(port);
        sim::reset();
    }
}

TEST_F(SimPlatform, ARateOtherThanTheUnitsGivesGarbage) {
    HANDLE port = attachAndOpen(9600, 500);
    setRate(port, 115200);
    write(port, PROBE);
    EXPECT_EQ(read(port), "");
    setRate(port, 9600);
    write(port, PROBE);
    setRate(port, 115200);
    const std::string heard = read(port);
    EXPECT_EQ(heard.size(), std::string(PROBE_REPLY).size());
    EXPECT_NE(heard, PROBE_REPLY);
}

TEST_F(SimPlatform, PurgeDropsWhatHasArrived) {
    HANDLE port = attachAndOpen(115200, 500);
    write(port, PROBE);
    Sleep(100);
    EXPECT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_EQ(read(port), "");
}

TEST_F(SimPlatform, APortOpensOnceAndOnlyWhenItIsThere) {
    sim::PortSetup busy;
    busy.busy = true;
    sim::PortSetup missing;
    missing.exists = false;
    sim::attach(1, {});
    sim::attach(2, busy);
    sim::attach(3, missing);
    HANDLE first = openPort(COM1);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(openPort(COM1), INVALID_HANDLE_VALUE) << "exclusive";
    for (const char* name : {"\\\\.\\COM2", "\\\\.\\COM3", "\\\\.\\COM4", "COM1", "\\\\.\\COM01",
                             "\\\\.\\COM1x", "\\\\.\\COM"}) {
        EXPECT_EQ(openPort(name), INVALID_HANDLE_VALUE) << name;
    }
    EXPECT_TRUE(CloseHandle(first));
    HANDLE again = openPort(COM1);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_NE(again, first) << "handles are never reused";
    EXPECT_NE(sim::openLineSettings(1), nullptr);
    EXPECT_EQ(sim::openLineSettings(2), nullptr);
}

TEST_F(SimPlatform, CallsOnClosedOrInvalidHandlesFail) {
    sim::attach(1, {});
    HANDLE closed = openPort(COM1);
    ASSERT_TRUE(CloseHandle(closed));
    for (HANDLE handle : {closed, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
        DCB dcb{};
        dcb.BaudRate = 9600;
        COMMTIMEOUTS timeouts{};
        char buffer[4] = {};
        DWORD count = 7;
        EXPECT_FALSE(SetupComm(handle, 8192, 8192));
        EXPECT_FALSE(SetCommState(handle, &dcb));
        EXPECT_FALSE(SetCommTimeouts(handle, &timeouts));
        EXPECT_FALSE(PurgeComm(handle, 0x0F));
        EXPECT_FALSE(EscapeCommFunction(handle, SETDTR));
        EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(WriteFile(handle, buffer, sizeof buffer, &count, nullptr));
        EXPECT_FALSE(CloseHandle(handle));
    }
}

TEST_F(SimPlatform, RefusedSettingsAndFailingWrites) {
    sim::PortSetup setup;
    setup.refusedBauds = {4800};
    setup.failWritesAfterBytes = 20;
    sim::attach(1, setup);
    HANDLE port = openPort(COM1);
    DCB dcb{};
    dcb.BaudRate = 4800;
    EXPECT_FALSE(SetCommState(port, &dcb));
    dcb.BaudRate = 9600;
    dcb.fOutxCtsFlow = 1;
    EXPECT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(sim::calls().back().args, "baud=9600 cts=1");

    DWORD written = 0;
    const char bytes[10] = {};
    EXPECT_TRUE(WriteFile(port, bytes, 10, &written, nullptr));
    EXPECT_TRUE(WriteFile(port, bytes, 10, &written, nullptr));
    EXPECT_FALSE(WriteFile(port, bytes, 10, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(sim::writtenTo(1).size(), 20u);
}

TEST_F(SimPlatform, HungUpLineFailsReadsAndWrites) {
    UnitConfig config;
    config.faults = {Fault::HangUp};
    config.hangUpAfterImageBytes = 10;
    HANDLE port = attachAndOpen(115200, 1000, config);
    write(port, "%%%fw -l 1 100\n\r");
    EXPECT_EQ(read(port), "Ready");
    write(port, std::string(10, 'x'));
    DWORD count = 0;
    char buffer[8];
    EXPECT_FALSE(WriteFile(port, buffer, sizeof buffer, &count, nullptr));
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &count, nullptr));
}

TEST_F(SimPlatform, SleepKeyAndCallLog) {
    Sleep(3000);
    EXPECT_DOUBLE_EQ(sim::nowMs(), 3000);
    EXPECT_EQ(_getch(), '\r');
    EXPECT_EQ(sim::getchCount(), 1);
    ASSERT_EQ(sim::calls().size(), 2u);
    EXPECT_EQ(sim::calls()[0].name, "Sleep");
    EXPECT_EQ(sim::calls()[0].args, "3000");
    EXPECT_EQ(sim::calls()[1].name, "_getch");
    EXPECT_DOUBLE_EQ(sim::calls()[1].atMs, 3000);
}

TEST(SimPlatformFiles, ReplaceFileMovesOverTheTarget) {
    const auto dir =
        std::filesystem::temp_directory_path() /
        ("sim_replace_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(dir);
    const auto from = dir / "new", to = dir / "old";
    std::ofstream(from) << "new";
    std::ofstream(to) << "old";
    EXPECT_TRUE(platform_ReplaceFile(from.c_str(), to.c_str()));
    std::string text;
    std::ifstream(to) >> text;
    EXPECT_EQ(text, "new");
    EXPECT_FALSE(std::filesystem::exists(from));
    EXPECT_FALSE(platform_ReplaceFile(from.c_str(), to.c_str()));
    std::filesystem::remove_all(dir);
}

}  // namespace
