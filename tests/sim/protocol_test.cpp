// The command exchange and the bulk transfer on the simulated line: the bytes on the wire, how
// replies are collected over read windows and compared, the progress figure, and the timing.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BrivantaFwUpgrade.h"
#include "ComPortAPI.h"
#include "expected_console.h"
#include "updater_run.h"

namespace {

const char* const kProbe = "%help -c version";
const char* const kProbeReply =
    "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";
const char* const kTxIdentity = "Quorvi 6G SDI EXTENDER TX WITH ETHERNET\r\n>>";

// An open COM1 with the start-up buffers made; the unit (if any) is given by the test.
class OpenLine : public SimulatedMachine {
  protected:
    void SetUp() override {
        SimulatedMachine::SetUp();
        ASSERT_TRUE(allocateStartupBuffers());
    }
    void TearDown() override {
        ComPortAPI_CloseCOM();
        releaseStartupBuffers();
    }
    std::shared_ptr<UnitModel> open(std::set<Fault> faults = {}, sim::PortSetup port = {}) {
        UnitConfig config;
        config.faults = std::move(faults);
        port.unit = std::make_shared<UnitModel>(config);
        sim::attach(1, port);
        ComPortAPI_SetBaudRate(115200);
        EXPECT_TRUE(ComPortAPI_OpenCOM(1));
        return port.unit;
    }
    void openSilent(sim::PortSetup port = {}) {
        sim::attach(1, port);
        ComPortAPI_SetBaudRate(115200);
        EXPECT_TRUE(ComPortAPI_OpenCOM(1));
    }
    static std::string written() {
        const auto bytes = sim::writtenTo(1);
        return {bytes.begin(), bytes.end()};
    }
};

struct Frame {
    const char* command;
    BOOL isEchoON;
    const char* wire;
};

TEST_F(OpenLine, CommandFramesOnTheWire) {
    const Frame frames[] = {
        {"%help -c version", FALSE, "%%%help -c version\n\r"},
        {"%fw -v", FALSE, "%%%fw -v\n\r"},
        {"%fw -p", FALSE, "%%%fw -p\n\r"},
        {"%fw -l 4281666209 933568", FALSE, "%%%fw -l 4281666209 933568\n\r"},
        {"%fw -h 4278459187 123960", FALSE, "%%%fw -h 4278459187 123960\n\r"},
        {"%fw -v", TRUE, "%fw -v\n\r"},
        {"%fw -v", 2, "%%%fw -v\n\r"},  // only exactly 1 drops the prefix
    };
    openSilent();
    std::string all;
    for (const Frame& frame : frames) {
        EXPECT_TRUE(sendCommand(frame.command, frame.isEchoON, TRUE, nullptr));
        all += frame.wire;
    }
    EXPECT_EQ(written(), all);
    for (const auto& call : sim::calls()) EXPECT_NE(call.name, "ReadFile") << "no reply collected";
}

TEST_F(OpenLine, VersionQueryFrameIsTheTenBytesOfTheCatalogue) {
    openSilent();
    sendCommand("%fw -v", FALSE, FALSE, nullptr);
    const std::vector<uint8_t> expected = {0x25, 0x25, 0x25, 0x66, 0x77,
                                           0x20, 0x2D, 0x76, 0x0A, 0x0D};
    EXPECT_EQ(sim::writtenTo(1), expected);
}

TEST_F(OpenLine, AnsweredExchangeLastsTwoWindows) {
    open();
    ComPortAPI_SetReadingTimeoutInMs(500);
    const double start = sim::nowMs();
    EXPECT_TRUE(sendCommand(kProbe, FALSE, TRUE, kProbeReply));
    const double elapsed = sim::nowMs() - start;
    EXPECT_GE(elapsed, 1000.0);
    EXPECT_LT(elapsed, 1010.0);  // plus the frame's line time at 115200
}

TEST_F(OpenLine, SilentUnitCostsOneWindowAndFailsQuietly) {
    openSilent();
    ComPortAPI_SetReadingTimeoutInMs(1000);
    const double start = sim::nowMs();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(sendCommand(kProbe, FALSE, TRUE, kProbeReply));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NEAR(sim::nowMs() - start, 1000.0, 5.0);
}

TEST_F(OpenLine, ReplySplitOverWindowsIsJoined) {
    open({Fault::SplitReplies});
    ComPortAPI_SetReadingTimeoutInMs(500);
    EXPECT_TRUE(sendCommand(kProbe, FALSE, TRUE, kProbeReply));
}

struct Mismatch {
    const char* name;
    std::set<Fault> faults;
    const char* command;
    const char* expected;
};

TEST_F(OpenLine, RepliesThatDifferInAnyWayDoNotMatch) {
    const Mismatch cases[] = {
        {"extra line end", {Fault::ReadyLineEnd}, "%fw -l 1 16", "Ready"},
        {"other case", {Fault::ReadyLowerCase}, "%fw -l 1 16", "Ready"},
        {"echo of the command", {Fault::Echo}, kProbe, kProbeReply},
        {"missing prompt", {}, "%fw -p", "Quorvi 6G SDI EXTENDER TX WITH ETHERNET\r\n"},
        {"NUL inside the reply", {Fault::NulInReply}, kProbe, kProbeReply},
        {"silence", {Fault::Silence}, kProbe, kProbeReply},
    };
    for (const Mismatch& mismatch : cases) {
        SCOPED_TRACE(mismatch.name);
        sim::reset();
        ComPortAPI_RestoreDefaults();
        open(mismatch.faults);
        ComPortAPI_SetReadingTimeoutInMs(1000);
        EXPECT_FALSE(sendCommand(mismatch.command, FALSE, TRUE, mismatch.expected));
        ComPortAPI_CloseCOM();
    }
}

TEST_F(OpenLine, ComparisonSwitchedOffDropsTheReply) {
    open({Fault::Echo});
    ComPortAPI_SetReadingTimeoutInMs(500);
    EXPECT_TRUE(sendCommand(kProbe, FALSE, FALSE, "anything"));
}

TEST_F(OpenLine, EndlessReplyIsCutOffAndDiffers) {
    open({Fault::Flood});
    ComPortAPI_SetReadingTimeoutInMs(500);
    EXPECT_FALSE(sendCommand(kProbe, FALSE, TRUE, kProbeReply));
}

// At 1200 baud a flood brings 60 bytes a window: it would take hours to fill the buffer.
TEST_F(OpenLine, TrickleWithoutASilentWindowEndsAfterAHundredWindows) {
    UnitConfig config;
    config.consoleBaud = 1200;
    config.faults = {Fault::Flood};
    sim::PortSetup port;
    port.unit = std::make_shared<UnitModel>(config);
    sim::attach(1, port);
    ComPortAPI_SetBaudRate(1200);
    ASSERT_TRUE(ComPortAPI_OpenCOM(1));
    ComPortAPI_SetReadingTimeoutInMs(500);
    const double start = sim::nowMs();
    EXPECT_FALSE(sendCommand(kProbe, FALSE, TRUE, kProbeReply));
    EXPECT_NEAR(sim::nowMs() - start, 100 * 500.0, 200.0);
}

TEST_F(OpenLine, FailedFrameWriteIsReportedAndNothingIsRead) {
    sim::PortSetup port;
    port.failWritesAfterBytes = 0;
    openSilent(port);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(sendCommand(kProbe, FALSE, TRUE, kProbeReply));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\r\nError occurred when sending data !\r\n");
    for (const auto& call : sim::calls()) EXPECT_NE(call.name, "ReadFile");
}

// ---- Bulk transfer ----

struct Transfer {
    int length;
    std::string console;
};

TEST_F(OpenLine, ProgressFigureOfBulkTransfers) {
    const Transfer transfers[] = {
        {10240, "1%\b\b100%"},
        {10241, "1%\b\b99%\b\b\b100%"},
        {20480, "1%\b\b50%\b\b\b100%"},
        {123960,
         "1%\b\b8%\b\b16%\b\b\b24%\b\b\b33%\b\b\b41%\b\b\b49%\b\b\b57%\b\b\b66%\b\b\b74%"
         "\b\b\b82%\b\b\b90%\b\b\b99%\b\b\b100%"},
        {933568, expected::progress(933568)},
        {1121936, expected::progress(1121936)},
    };
    openSilent();
    std::vector<uint8_t> data(1121936, 0x5A);
    for (const Transfer& transfer : transfers) {
        SCOPED_TRACE(transfer.length);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(sendData(data.data(), transfer.length, TRUE, nullptr));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), transfer.console);
    }
    EXPECT_EQ(expected::progress(1121936).substr(0, 7), "1%\b\b0%\b") << "starts by going down";
}

TEST_F(OpenLine, BulkTransferWritesPiecesOf10240) {
    openSilent();
    std::vector<uint8_t> data(123960);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(sendData(data.data(), 123960, TRUE, nullptr));
    testing::internal::GetCapturedStdout();
    std::vector<size_t> pieces;
    for (const auto& chunk : sim::wire()) {
        if (chunk.fromProgram) pieces.push_back(chunk.bytes.size());
    }
    std::vector<size_t> expectedPieces(12, 10240);
    expectedPieces.push_back(1080);
    EXPECT_EQ(pieces, expectedPieces);
    EXPECT_EQ(sim::writtenTo(1), data);
}

TEST_F(OpenLine, SilentUnitAfterTransferShowsWhatWasExpected) {
    openSilent();
    std::vector<uint8_t> data(100, 1);
    ComPortAPI_SetReadingTimeoutInMs(1000);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(sendData(data.data(), 100, TRUE, "SUCCESS"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "1%\b\b100%\r\nExpected : SUCCESS  received : \r\n"
              "\r\nError: Expected response did  not matched !\r\n");
}

TEST_F(OpenLine, WriteFailureInMidTransferStopsAtOnce) {
    sim::PortSetup port;
    port.failWritesAfterBytes = 20480;
    openSilent(port);
    std::vector<uint8_t> data(50000, 3);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(sendData(data.data(), 50000, TRUE, "SUCCESS"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "1%\b\b20%\b\b\b40%");
    EXPECT_EQ(sim::writtenTo(1).size(), 20480u);
    for (const auto& call : sim::calls()) EXPECT_NE(call.name, "ReadFile") << "no reply read";
}

}  // namespace
