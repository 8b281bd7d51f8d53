// Whole runs of the updater on the simulated platform: the entire console transcript, the exit
// status, and what crossed the line, for units that behave and units that do not.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BrivantaFwUpgrade.h"
#include "expected_console.h"
#include "updater_run.h"

namespace {

using namespace expected;

constexpr int kTxLogicLength = 933568;
constexpr int kRxLogicLength = 1121936;
constexpr int kControllerLength = 123960;

std::shared_ptr<UnitModel> unitOn(int com, UnitConfig config, sim::PortSetup port = {}) {
    port.unit = std::make_shared<UnitModel>(std::move(config));
    sim::attach(com, port);
    return port.unit;
}

UnitConfig unitAt(uint32_t baud, UnitConfig::Kind kind = UnitConfig::Kind::TX) {
    UnitConfig config;
    config.kind = kind;
    config.consoleBaud = baud;
    return config;
}

UnitConfig faulty(std::initializer_list<Fault> faults) {
    UnitConfig config;
    config.faults = faults;
    return config;
}

UnitConfig withVersionReply(const std::string& reply) {
    UnitConfig config;
    config.versionReply = reply;
    return config;
}

std::string untilIdentified(bool tx = true) {
    return banner() + detected(1, 115200) + defaultVersionLines() + identified(tx);
}

std::string failedRun(const std::string& reason) {
    return reason + kUpdateFailed + kKeyPrompt;
}

std::string transferMismatch() {
    return "\r\nExpected : SUCCESS  received : \r\n"
           "\r\nError: Expected response did  not matched !\r\nFAILED\r\n";
}

std::string successfulRun(int port, int baud, bool tx = true) {
    return banner() + detected(port, baud) + defaultVersionLines() + identified(tx) +
           logicUpload(tx ? kTxLogicLength : kRxLogicLength) + controllerUpload(kControllerLength) +
           countdown() + kSuccessLine + kKeyPrompt;
}

struct Scenario {
    std::string name;
    std::function<void()> machine;  // puts the ports and units in place
    std::string operatorInput;
    int status;
    std::string console;
};

std::string manualSetUpFailedDetection() {
    return banner() + "FAILED" + "\n\r\n\rEnter the COM port number : ";
}

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> table = {
        {"TxUnitAt115200", [] { unitOn(1, unitAt(115200)); }, "", 0, successfulRun(1, 115200)},
        {"RxUnitAt115200", [] { unitOn(1, unitAt(115200, UnitConfig::Kind::RX)); }, "", 0,
         successfulRun(1, 115200, false)},
        {"UnitAt9600", [] { unitOn(1, unitAt(9600)); }, "", 0, successfulRun(1, 9600)},
        {"UnitAt1200OnCom1", [] { unitOn(1, unitAt(1200)); }, "", 0, successfulRun(1, 1200)},
        {"UnitOnCom32", [] { unitOn(32, unitAt(57600)); }, "", 0, successfulRun(32, 57600)},
        {"UnitAnswersOnlyTheSecondProbe", [] { unitOn(1, faulty({Fault::SecondProbeOnly})); }, "",
         0, successfulRun(1, 115200)},
        {"VersionReplyOverSeveralLines", [] { unitOn(1, faulty({Fault::MultiLineVersion})); }, "",
         0, successfulRun(1, 115200)},
        {"ShortestPromptPasses",
         [] {
             UnitConfig config;
             config.prompt = "[>>";
             unitOn(1, config);
         },
         "", 0, successfulRun(1, 115200)},
        {"NoPortAtAllBadEntryPromptedAgain", [] {}, "abc 7\n\n5\n", -1,
         manualSetUpFailedDetection() + "\n\r\n\rEnter the COM port number : " +
             "\r\nOpening COM5...................." + "ERROR: Opening COM5 failed !" + kKeyPrompt},
        {"ManualSetUpUpdatesTheNamedPort", [] { unitOn(2, faulty({Fault::NoProbeReply})); },
         "2\n115200\n", 0,
         manualSetUpFailedDetection() + "\r\nOpening COM2...................." + "OK\r\n" +
             "\n\r\n\rEnter the BAUD RATE       : " + "\r\nSetting baud rate at 115200.........." +
             "OK\r\n" + defaultVersionLines() + identified(true) + logicUpload(kTxLogicLength) +
             controllerUpload(kControllerLength) + countdown() + kSuccessLine + kKeyPrompt},
        {"ManualSetUpPortBusy",
         [] {
             sim::PortSetup port;
             port.busy = true;
             sim::attach(3, port);
         },
         "3\n", -1,
         manualSetUpFailedDetection() + "\r\nOpening COM3...................." +
             "ERROR: Opening COM3 failed !" + kKeyPrompt},
        {"ManualSetUpBaudRateRefused",
         [] {
             sim::PortSetup port;
             port.refusedBauds = {123};
             unitOn(2, faulty({Fault::Silence}), port);
         },
         "2\n123\n", -1,
         manualSetUpFailedDetection() + "\r\nOpening COM2...................." + "OK\r\n" +
             "\n\r\n\rEnter the BAUD RATE       : " + "\r\nSetting baud rate at 123.........." +
             kKeyPrompt},
        {"ManualSetUpInputEnds", [] {}, "", -1,
         manualSetUpFailedDetection() + "\r\nERROR: No COM port number entered.\r\n" + kKeyPrompt},
        {"OtherLogicDevice", [] { unitOn(1, withVersionReply("1.2.0 XC7A75 1.5 3\r\n>>")); }, "", 1,
         banner() + detected(1, 115200) + versionLines("1.02.00", "XC7A75 1.05", 3) +
             failedRun(kProductLabel + "FAILED, Unknown product\r\n")},
        {"VersionReplyWithoutDeviceCode",
         [] { unitOn(1, withVersionReply("1.2.0 XC7A15 1.5\r\n>>")); }, "", 1,
         banner() + detected(1, 115200) + failedRun(kProductLabel + "FAILED, Unknown product\r\n")},
        {"NoVersionReply", [] { unitOn(1, faulty({Fault::NoVersionReply})); }, "", 1,
         banner() + detected(1, 115200) + failedRun(kProductLabel + "FAILED, Unknown product\r\n")},
        {"NeitherTxNorRx", [] { unitOn(1, faulty({Fault::WrongIdentity})); }, "", 1,
         banner() + detected(1, 115200) + defaultVersionLines() +
             failedRun(kProductLabel + "FAILED\r\n")},
        {"NoReadyForLogic", [] { unitOn(1, faulty({Fault::NoReadyLogic})); }, "", 1,
         untilIdentified() + failedRun(kLogicLabel + kNotReady)},
        {"ReadyWithLineEnd", [] { unitOn(1, faulty({Fault::ReadyLineEnd})); }, "", 1,
         untilIdentified() + failedRun(kLogicLabel + kNotReady)},
        {"NoSuccessForLogic", [] { unitOn(1, faulty({Fault::NoSuccessLogic})); }, "", 1,
         untilIdentified() + failedRun(kLogicLabel + "OK\r\n" + kLogicTransferLabel +
                                       progress(kTxLogicLength) + transferMismatch())},
        {"NoReadyForController", [] { unitOn(1, faulty({Fault::NoReadyController})); }, "", 1,
         untilIdentified() + failedRun(logicUpload(kTxLogicLength) + kControllerLabel + kNotReady)},
        {"NoSuccessForController", [] { unitOn(1, faulty({Fault::NoSuccessController})); }, "", 1,
         untilIdentified() + failedRun(logicUpload(kTxLogicLength) + kControllerLabel + "OK\r\n" +
                                       kControllerTransferLabel + progress(kControllerLength) +
                                       transferMismatch())},
        {"NoPromptAfterReboot", [] { unitOn(1, faulty({Fault::NoPrompt})); }, "", 0,
         untilIdentified() + logicUpload(kTxLogicLength) + controllerUpload(kControllerLength) +
             countdown() + kKeyPrompt},
        {"PromptOnlyDuringTheRebootWait", [] { unitOn(1, faulty({Fault::EarlyPrompt})); }, "", 0,
         untilIdentified() + logicUpload(kTxLogicLength) + controllerUpload(kControllerLength) +
             countdown() + kKeyPrompt},
    };
    return table;
}

// Test names and failure messages show the scenario by its name.
void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

class WholeRun : public SimulatedMachine, public testing::WithParamInterface<Scenario> {};

TEST_P(WholeRun, ConsoleAndExitStatus) {
    GetParam().machine();
    const UpdaterRun run = runUpdater(GetParam().operatorInput);
    EXPECT_EQ(run.status, GetParam().status);
    EXPECT_EQ(run.console, GetParam().console);
    EXPECT_EQ(sim::getchCount(), 1) << "exactly one key press is awaited";
}

INSTANTIATE_TEST_SUITE_P(Updater, WholeRun, testing::ValuesIn(scenarios()),
                         [](const testing::TestParamInfo<Scenario>& scenario) {
                             return scenario.param.name;
                         });

// ---- What crosses the line ----

// The flat image of catalogue row `row`, as image assembly makes it.
std::vector<uint8_t> flatImage(int row) {
    static std::map<int, std::vector<uint8_t>> cache;
    if (cache.count(row) == 0) {
        EXPECT_TRUE(allocateStartupBuffers());
        char* copy = newWorkingCopyOfImage(row);
        EXPECT_TRUE(ValidateFwAndConcatenateData(copy));
        cache[row].assign(gDataConcatenated, gDataConcatenated + gDataConcatenatedLenght);
        free(copy);
        releaseStartupBuffers();
    }
    return cache[row];
}

std::vector<uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

const std::string kProbeFrame = "%%%help -c version\n\r";

class LineOfAWholeRun : public SimulatedMachine {};

TEST_F(LineOfAWholeRun, TxUnitReceivesExactlyTheFramesAndTheFlatImages) {
    auto unit = unitOn(1, unitAt(115200));
    ASSERT_EQ(runUpdater().status, 0);
    const auto expectedWire =
        concat({bytesOf(kProbeFrame + "%%%fw -v\n\r%%%fw -p\n\r%%%fw -l 4281666209 933568\n\r"),
                flatImage(1), bytesOf("%%%fw -h 4278459187 123960\n\r"), flatImage(0)});
    EXPECT_TRUE(sim::writtenTo(1) == expectedWire);
    ASSERT_EQ(unit->images().size(), 2u);
    EXPECT_TRUE(unit->images()[0].bytes == flatImage(1));
    EXPECT_TRUE(unit->images()[1].bytes == flatImage(0));
}

TEST_F(LineOfAWholeRun, RxUnitCostsTwoProductQueries) {
    auto unit = unitOn(1, unitAt(115200, UnitConfig::Kind::RX));
    ASSERT_EQ(runUpdater().status, 0);
    const auto expectedWire =
        concat({bytesOf(kProbeFrame +
                        "%%%fw -v\n\r%%%fw -p\n\r%%%fw -p\n\r%%%fw -l 4278101494 1121936\n\r"),
                flatImage(2), bytesOf("%%%fw -h 4278459187 123960\n\r"), flatImage(0)});
    EXPECT_TRUE(sim::writtenTo(1) == expectedWire);
}

// Rate of every frame the program wrote, in order, with the frame's first bytes.
std::vector<std::pair<std::string, uint32_t>> framesWithRates(int com) {
    std::vector<std::pair<std::string, uint32_t>> frames;
    for (const auto& chunk : sim::wire()) {
        if (!chunk.fromProgram || chunk.com != com || chunk.bytes.empty()) continue;
        const bool isFrame = chunk.bytes[0] == '%';
        frames.emplace_back(isFrame ? std::string(chunk.bytes.begin(), chunk.bytes.end()) : "image",
                            chunk.baud);
    }
    return frames;
}

TEST_F(LineOfAWholeRun, UnitAt9600IsAnnouncedAt9600AndSentTheImagesAt115200) {
    unitOn(1, unitAt(9600));
    ASSERT_EQ(runUpdater().status, 0);
    std::vector<std::pair<std::string, uint32_t>> summary;
    for (const auto& frame : framesWithRates(1)) {
        if (summary.empty() || summary.back() != frame) summary.push_back(frame);
    }
    const std::vector<std::pair<std::string, uint32_t>> expectedSummary = {
        {kProbeFrame, 115200},
        {kProbeFrame, 9600},
        {"%%%fw -v\n\r", 9600},
        {"%%%fw -p\n\r", 9600},
        {"%%%fw -l 4281666209 933568\n\r", 9600},
        {"image", 115200},
        {"%%%fw -h 4278459187 123960\n\r", 115200},
        {"image", 115200}};
    EXPECT_EQ(summary, expectedSummary);
    // Back at the console rate for the reboot reads.
    const DCB* line = sim::openLineSettings(1);
    EXPECT_EQ(line, nullptr) << "the port is closed at the end";
    std::string lastRate;
    for (const auto& call : sim::calls()) {
        if (call.name == "SetCommState") lastRate = call.args;
    }
    EXPECT_EQ(lastRate.rfind("baud=9600", 0), 0u) << lastRate;
}

TEST_F(LineOfAWholeRun, UnitAt1200IsFoundAfterBothProbesAtEveryFasterRate) {
    unitOn(1, unitAt(1200));
    ASSERT_EQ(runUpdater().status, 0);
    std::vector<uint32_t> probeRates;
    for (const auto& [frame, baud] : framesWithRates(1)) {
        if (frame == kProbeFrame) probeRates.push_back(baud);
    }
    const std::vector<uint32_t> expectedRates = {115200, 115200, 9600, 9600, 57600, 57600,
                                                 4800,   4800,   2400, 2400, 1200};
    EXPECT_EQ(probeRates, expectedRates);
}

TEST_F(LineOfAWholeRun, ReadTimeoutsFollowTheStagesOfTheUpdate) {
    unitOn(1, unitAt(115200));
    ASSERT_EQ(runUpdater().status, 0);
    std::vector<std::string> timeouts;
    for (const auto& call : sim::calls()) {
        if (call.name == "SetCommTimeouts") timeouts.push_back(call.args);
    }
    const std::vector<std::string> expectedTimeouts = {"T=500",  "T=1000", "T=10000", "T=1000",
                                                       "T=5000", "T=1000", "T=11000"};
    EXPECT_EQ(timeouts, expectedTimeouts);
}

TEST_F(LineOfAWholeRun, HardwareFlowControlIsOffForDetectionAndOnForTheUpdate) {
    unitOn(1, unitAt(115200));
    ASSERT_EQ(runUpdater().status, 0);
    std::vector<std::string> applied;  // settings that reached an open port
    for (const auto& call : sim::calls()) {
        if (call.name == "SetCommState" && call.ok) applied.push_back(call.args);
    }
    const std::vector<std::string> expectedApplied = {"baud=115200 cts=0", "baud=115200 cts=1"};
    EXPECT_EQ(applied, expectedApplied);
}

TEST_F(LineOfAWholeRun, NoPortAtAllEndsDetectionAfterThirtyTwoExistenceTests) {
    ASSERT_EQ(runUpdater("").status, -1);
    int creates = 0;
    for (const auto& call : sim::calls()) creates += call.name == "CreateFileA";
    EXPECT_EQ(creates, 32);
    EXPECT_EQ(sim::nowMs(), 0.0) << "a missing port costs no read window";
}

}  // namespace
