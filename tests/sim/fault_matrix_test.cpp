// Whatever the unit does wrong, at whatever stage, the updater ends: with a verdict that matches
// what happened on the line, the right exit status, and within a bounded (virtual) time.
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "expected_console.h"
#include "updater_run.h"

namespace {

using expected::kKeyPrompt;
using expected::kUpdateFailed;

// Detection finds nothing when the unit stays silent to the probe: the operator names COM1.
const std::string kTypesCom1At115200 = "1\n115200\n";

const std::string kUnknownProduct = "Checking product .......... FAILED, Unknown product\r\n";
const std::string kLogicNotReady = expected::kLogicLabel + expected::kNotReady;
const std::string kControllerNotReady = expected::kControllerLabel + expected::kNotReady;
const std::string kNoSuccess =
    "100%\r\nExpected : SUCCESS  received : \r\n"
    "\r\nError: Expected response did  not matched !\r\nFAILED\r\n";
const std::string kCountdownEnd = "100%\b\b\b\b100%";

// A full update is about 280 s of line time (the reboot wait alone is 150 s); detection and the
// manual set-up add a few seconds. No fault may stretch a run beyond that.
constexpr double kFullRunBoundMs = 300000;
// 1.1 MB of flood take 95 s to arrive at 115200 baud.
constexpr double kFloodRunBoundMs = kFullRunBoundMs + 100000;
// A run that fails before any image is sent.
constexpr double kEarlyFailureBoundMs = 30000;

struct FaultCase {
    const char* name;
    std::function<void(UnitConfig&)> configure;
    std::string operatorInput;
    std::string ending;  // the console's last texts
    int status;
    double boundMs;  // virtual time the whole run may take
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) {
    return out << c.name;
}

std::function<void(UnitConfig&)> withFault(Fault fault) {
    return [fault](UnitConfig& config) { config.faults.insert(fault); };
}

std::function<void(UnitConfig&)> withVersionReply(std::string reply) {
    return [reply](UnitConfig& config) { config.versionReply = reply; };
}

std::string tailOf(const std::string& console) {
    return console.substr(console.size() > 300 ? console.size() - 300 : 0);
}

std::string failedWith(const std::string& text) {
    return text + kUpdateFailed + kKeyPrompt;
}

const std::string kSucceeded = kCountdownEnd + expected::kSuccessLine + kKeyPrompt;

const FaultCase kFaultCases[] = {
    // Silent at each stage.
    {"silent_unit", withFault(Fault::Silence), kTypesCom1At115200, failedWith(kUnknownProduct),
     EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    {"silent_to_probe", withFault(Fault::NoProbeReply), kTypesCom1At115200, kSucceeded,
     EXIT_UPDATE_OK, kFullRunBoundMs},
    {"silent_to_version_query", withFault(Fault::NoVersionReply), "", failedWith(kUnknownProduct),
     EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    {"silent_to_product_query", withFault(Fault::NoIdentity), "",
     failedWith("Checking product .......... FAILED\r\n"), EXIT_UPDATE_FAILED,
     kEarlyFailureBoundMs},
    {"silent_to_logic_upload", withFault(Fault::NoReadyLogic), "", failedWith(kLogicNotReady),
     EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    {"silent_after_logic_image", withFault(Fault::NoSuccessLogic), "", failedWith(kNoSuccess),
     EXIT_UPDATE_FAILED, kFullRunBoundMs},
    {"silent_to_controller_upload", withFault(Fault::NoReadyController), "",
     failedWith(kControllerNotReady), EXIT_UPDATE_FAILED, kFullRunBoundMs},
    {"silent_after_controller_image", withFault(Fault::NoSuccessController), "",
     failedWith(kNoSuccess), EXIT_UPDATE_FAILED, kFullRunBoundMs},
    {"prompt_never_sent", withFault(Fault::NoPrompt), "", kCountdownEnd + kKeyPrompt,
     EXIT_UPDATE_OK, kFullRunBoundMs},
    {"prompt_too_early", withFault(Fault::EarlyPrompt), "", kCountdownEnd + kKeyPrompt,
     EXIT_UPDATE_OK, kFullRunBoundMs},
    // The line misbehaves.
    {"hang_up_in_transfer", withFault(Fault::HangUp), "", failedWith("FAILED\r\n"),
     EXIT_UPDATE_FAILED, kFullRunBoundMs},
    {"flood_without_silent_window", withFault(Fault::Flood), kTypesCom1At115200, kSucceeded,
     EXIT_UPDATE_OK, kFloodRunBoundMs},
    {"nul_inside_replies", withFault(Fault::NulInReply), kTypesCom1At115200,
     failedWith(kUnknownProduct), EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    {"echo_of_every_command", withFault(Fault::Echo), kTypesCom1At115200,
     failedWith(kUnknownProduct), EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    {"answers_at_another_rate", [](UnitConfig& c) { c.consoleBaud = 38400; }, "1\n9600\n",
     failedWith(kUnknownProduct), EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    // Replies that are almost right.
    {"ready_with_line_end", withFault(Fault::ReadyLineEnd), "", failedWith(kLogicNotReady),
     EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    {"ready_in_lower_case", withFault(Fault::ReadyLowerCase), "", failedWith(kLogicNotReady),
     EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    // A "SUCCESS" that comes while the image is still being written waits in the input queue and
    // is read as the answer; this unit then does not reboot, so no success line is claimed.
    {"success_before_all_bytes", withFault(Fault::EarlySuccess), "", kCountdownEnd + kKeyPrompt,
     EXIT_UPDATE_OK, kFullRunBoundMs},
    // Version replies the parser must survive.
    {"model_word_of_200_characters",
     withVersionReply("1.2.0 " + std::string(200, 'M') + " 1.5 9\r\n>>"), "",
     failedWith(kUnknownProduct), EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    {"negative_numbers", withVersionReply("-1.-2.-3 XC7A15 -1.-5 -9\r\n>>"), "",
     failedWith(expected::versionLines("-1.-2.-3", "XC7A15 -1.-5", -9) + kUnknownProduct),
     EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    {"huge_firmware_version", withVersionReply("99999999999.2.0 XC7A15 1.5 9\r\n>>"), "",
     failedWith(kUnknownProduct), EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    {"device_code_wrapping_to_9", withVersionReply("1.2.0 XC7A15 1.5 4294967305\r\n>>"), "",
     failedWith(kUnknownProduct), EXIT_UPDATE_FAILED, kEarlyFailureBoundMs},
    {"prompt_only", withVersionReply(">>"), "", failedWith(kUnknownProduct), EXIT_UPDATE_FAILED,
     kEarlyFailureBoundMs},
};

class FaultMatrix : public SimulatedMachine, public testing::WithParamInterface<FaultCase> {};

TEST_P(FaultMatrix, EndsWithTheRightVerdictInBoundedTime) {
    const FaultCase& c = GetParam();
    UnitConfig config;
    c.configure(config);
    sim::PortSetup port;
    port.unit = std::make_shared<UnitModel>(config);
    sim::attach(1, port);

    const UpdaterRun run = runUpdater(c.operatorInput);

    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(run.console.ends_with(c.ending)) << "console ends with:\n"
                                                 << testing::PrintToString(tailOf(run.console));
    EXPECT_LE(sim::nowMs(), c.boundMs);
    EXPECT_EQ(sim::getchCount(), 1) << "the run ends with the key prompt";
}

INSTANTIATE_TEST_SUITE_P(UnitLineAndReplies, FaultMatrix, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<FaultCase>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
