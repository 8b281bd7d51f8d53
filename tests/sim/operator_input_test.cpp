// What the operator types at the manual set-up, after detection found no unit: numbers of any
// size and sign, text, empty lines, the end of input. The run always ends, with -1 when the port
// or the rate cannot be used, and never opens a port whose name had to be cut short.
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "expected_console.h"
#include "updater_run.h"

namespace {

using expected::kKeyPrompt;

const std::string kPortPrompt = "\n\r\n\rEnter the COM port number : ";
const std::string kBaudPrompt = "\n\r\n\rEnter the BAUD RATE       : ";
const std::string kNoPortEntered = "\r\nERROR: No COM port number entered.\r\n";
const std::string kNoBaudEntered = "\r\nERROR: No baud rate entered.\r\n";
const std::string kUnknownProductFailure =
    "Checking product .......... FAILED, Unknown product\r\n" + expected::kUpdateFailed;

// The rate -9600 as the driver sees it; a driver that knows no such rate refuses it.
constexpr uint32_t kMinus9600AsDriverRate = static_cast<uint32_t>(-9600);

std::string openingFailed(const std::string& port) {
    return kPortPrompt + "\r\nOpening COM" + port + "....................ERROR: Opening COM" +
           port + " failed !" + kKeyPrompt;
}

std::string rateRefused(const std::string& rate) {
    return kBaudPrompt + "\r\nSetting baud rate at " + rate + ".........." + kKeyPrompt;
}

struct InputCase {
    const char* name;
    std::string typed;
    bool com1Exists;  // a port with nothing on it
    std::optional<uint32_t> refusedRate;
    std::string ending;
    int status;
};

std::ostream& operator<<(std::ostream& out, const InputCase& c) {
    return out << c.name;
}

const InputCase kInputCases[] = {
    // The port number.
    {"port_0", "0\n", false, {}, openingFailed("0"), EXIT_SETUP_FAILED},
    {"port_minus_1", "-1\n", false, {}, openingFailed("-1"), EXIT_SETUP_FAILED},
    {"port_int_max", "2147483647\n", false, {}, openingFailed("2147483647"), EXIT_SETUP_FAILED},
    {"port_name_too_long", "123456789\n", false, {}, openingFailed("123456789"), EXIT_SETUP_FAILED},
    {"port_beyond_int",
     "99999999999\n",
     false,
     {},
     kPortPrompt + kPortPrompt + kNoPortEntered + kKeyPrompt,
     EXIT_SETUP_FAILED},
    {"port_as_text_then_number",
     "COM3\n0\n",
     false,
     {},
     kPortPrompt + kPortPrompt +
         "\r\nOpening COM0....................ERROR: Opening COM0 failed !" + kKeyPrompt,
     EXIT_SETUP_FAILED},
    {"port_as_text_then_end",
     "abc\n",
     false,
     {},
     kPortPrompt + kPortPrompt + kNoPortEntered + kKeyPrompt,
     EXIT_SETUP_FAILED},
    {"empty_lines_before_port",
     "\n\n  \n\n0\n",
     false,
     {},
     "FAILED" + openingFailed("0"),
     EXIT_SETUP_FAILED},
    {"no_input_at_all",
     "",
     false,
     {},
     "FAILED" + kPortPrompt + kNoPortEntered + kKeyPrompt,
     EXIT_SETUP_FAILED},
    // The baud rate, on a port that opens.
    {"rate_0", "1\n0\n", true, {}, rateRefused("0"), EXIT_SETUP_FAILED},
    {"rate_minus_9600", "1\n-9600\n", true, kMinus9600AsDriverRate, rateRefused("-9600"),
     EXIT_SETUP_FAILED},
    {"rate_as_text_then_number",
     "1\nfast\n9600\n",
     true,
     {},
     kBaudPrompt + kBaudPrompt + "\r\nSetting baud rate at 9600..........OK\r\n" +
         kUnknownProductFailure + kKeyPrompt,
     EXIT_UPDATE_FAILED},
    {"rate_as_text_then_end",
     "1\nfast\n",
     true,
     {},
     kBaudPrompt + kBaudPrompt + kNoBaudEntered + kKeyPrompt,
     EXIT_SETUP_FAILED},
    {"input_ends_before_rate",
     "1\n",
     true,
     {},
     kBaudPrompt + kNoBaudEntered + kKeyPrompt,
     EXIT_SETUP_FAILED},
};

// Detection sweeps 32 ports at six rates of 500 ms windows; the set-up adds nothing but an
// update attempt on a silent port.
constexpr double kRunBoundMs = 60000;

class OperatorInputTable : public SimulatedMachine,
                           public testing::WithParamInterface<InputCase> {};

// Every port the program tried to open, by the name it handed the platform.
std::vector<std::string> namesOpened() {
    std::vector<std::string> names;
    for (const sim::PlatformCall& call : sim::calls()) {
        if (call.name == "CreateFileA") names.push_back(call.args);
    }
    return names;
}

// Detection's COM1 to COM32, or a number exactly as the operator typed it: never a name cut short.
bool isWholePortName(const std::string& name, const std::string& typed) {
    const std::string prefix = "\\\\.\\COM";
    if (name.rfind(prefix, 0) != 0) return false;
    const std::string number = name.substr(prefix.size());
    for (int port = 1; port <= 32; ++port) {
        if (number == std::to_string(port)) return true;
    }
    std::istringstream words(typed);
    for (std::string word; words >> word;) {
        if (number == word) return true;
    }
    return false;
}

TEST_P(OperatorInputTable, EndsWithTheRightStatus) {
    const InputCase& c = GetParam();
    if (c.com1Exists) {
        sim::PortSetup port;
        if (c.refusedRate) port.refusedBauds.push_back(*c.refusedRate);
        sim::attach(1, port);
    }

    const UpdaterRun run = runUpdater(c.typed);

    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(run.console.ends_with(c.ending)) << testing::PrintToString(run.console);
    EXPECT_LE(sim::nowMs(), kRunBoundMs);
    EXPECT_EQ(sim::getchCount(), 1) << "the run ends with the key prompt";
    EXPECT_EQ(sim::openLineSettings(1), nullptr) << "the port is closed at the end";
    for (const std::string& name : namesOpened()) {
        EXPECT_TRUE(isWholePortName(name, c.typed)) << "opened " << name;
    }
}

INSTANTIATE_TEST_SUITE_P(ManualSetUp, OperatorInputTable, testing::ValuesIn(kInputCases),
                         [](const testing::TestParamInfo<InputCase>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
