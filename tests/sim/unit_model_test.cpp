#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "UnitModel.h"

namespace {

constexpr char PROBE_REPLY[] =
    "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";
constexpr char TX_IDENTITY[] = "Quorvi 6G SDI EXTENDER TX WITH ETHERNET\r\n>>";
constexpr char RX_IDENTITY[] = "Quorvi 6G SDI EXTENDER RX WITH ETHERNET\r\n>>";

std::string frame(const std::string& command) {
    return "%%" + command + "\n\r";
}

// The program's end of the line: writes are paced at `baud`, reads are windows of time.
struct Line {
    explicit Line(UnitConfig config = {}) : unit(config), baud(config.consoleBaud) {}

    void send(const std::string& bytes) { send(std::vector<uint8_t>(bytes.begin(), bytes.end())); }
    void send(const std::vector<uint8_t>& image, size_t from, size_t to) {
        send(std::vector<uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(from),
                                  image.begin() + static_cast<std::ptrdiff_t>(to)));
    }
    void send(const std::vector<uint8_t>& bytes) {
        now += static_cast<double>(bytes.size()) * 10000.0 / baud;
        unit.receive(now, bytes.data(), bytes.size(), baud);
    }
    std::string read(double windowMs) {
        now += windowMs;
        unit.advance(now);
        std::vector<uint8_t> out;
        unit.deliver(now, baud, out);
        return {out.begin(), out.end()};
    }
    std::string ask(const std::string& command) {
        send(frame(command));
        return read(1000);
    }

    UnitModel unit;
    uint32_t baud;
    double now = 0;
};

std::vector<uint8_t> imageOf(size_t length) {
    std::vector<uint8_t> image(length);
    for (size_t i = 0; i < length; ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return image;
}

uint32_t checksumOf(const std::vector<uint8_t>& image) {
    return 0u - std::accumulate(image.begin(), image.end(), 0u);
}

std::string uploadCommand(char kind, uint32_t checksum, size_t length) {
    return std::string("%fw -") + kind + " " + std::to_string(checksum) + " " +
           std::to_string(length);
}

UnitConfig atBaud(uint32_t baud) {
    UnitConfig config;
    config.consoleBaud = baud;
    return config;
}

UnitConfig ofKind(UnitConfig::Kind kind) {
    UnitConfig config;
    config.kind = kind;
    return config;
}

UnitConfig withFaults(std::set<Fault> faults) {
    UnitConfig config;
    config.faults = std::move(faults);
    return config;
}

TEST(UnitModelCatalogue, AnswersEachCommandExactly) {
    struct Case {
        UnitConfig::Kind kind;
        std::string sent;
        std::string reply;
    };
    const Case cases[] = {
        {UnitConfig::Kind::TX, frame("%help -c version"), PROBE_REPLY},
        {UnitConfig::Kind::TX, frame("%fw -v"), "1.2.0 XC7A15 1.5 9\r\n>>"},
        {UnitConfig::Kind::TX, frame("%fw -p"), TX_IDENTITY},
        {UnitConfig::Kind::RX, frame("%fw -p"), RX_IDENTITY},
        {UnitConfig::Kind::TX, frame("fw -v"), "ERROR: Unknown command\r\n>>"},
        {UnitConfig::Kind::TX, frame("%fw -l 12 0"), "ERROR: Invalid parameters\r\n>>"},
        {UnitConfig::Kind::TX, frame("%fw -l 12  5"), "ERROR: Invalid parameters\r\n>>"},
        {UnitConfig::Kind::TX, frame("%fw -h 4294967296 5"), "ERROR: Invalid parameters\r\n>>"},
        // Without the "%%" prefix the unit echoes the command first.
        {UnitConfig::Kind::TX, "%fw -p\n\r", std::string("%fw -p\r\n") + TX_IDENTITY},
        // Only LF CR ends a command.
        {UnitConfig::Kind::TX, "%%%fw -p\r\n", ""},
    };
    for (const Case& c : cases) {
        Line line(ofKind(c.kind));
        line.send(c.sent);
        EXPECT_EQ(line.read(1000), c.reply) << c.sent;
    }
}

TEST(UnitModelLine, BytesAtAnotherRateAreGarbageBothWays) {
    Line line(atBaud(9600));
    line.baud = 115200;
    EXPECT_EQ(line.ask("%help -c version"), "") << "a probe at the wrong rate is noise";

    line.baud = 9600;
    line.send(frame("%help -c version"));
    line.baud = 115200;
    const std::string heard = line.read(1000);
    ASSERT_EQ(heard.size(), std::string(PROBE_REPLY).size());
    for (const char c : heard) {
        EXPECT_GE(static_cast<unsigned char>(c), 0x80);
    }
}

TEST(UnitModelLine, GarbageBreaksTheLineBeingTyped) {
    Line line;
    line.send("%%%fw");
    line.baud = 9600;
    line.send(std::string("xx"));
    line.baud = 115200;
    EXPECT_EQ(line.ask("%fw -v").substr(0, 5), "1.2.0");
    line.send("%%%fw");
    line.baud = 9600;
    line.send(std::string("xx"));
    line.baud = 115200;
    line.send(" -v\n\r");
    EXPECT_EQ(line.read(1000), " -v\r\nERROR: Unknown command\r\n>>");
}

TEST(UnitModelTiming, ReplyBeginsAfterTheDelayAndIsPacedAtTheBaudRate) {
    Line line(atBaud(9600));
    line.send(frame("%help -c version"));
    const double sentMs = line.now;
    const double byteMs = 10000.0 / 9600;
    EXPECT_DOUBLE_EQ(line.unit.nextArrivalMs(), sentMs + 20 + byteMs);
    std::vector<uint8_t> out;
    EXPECT_EQ(line.unit.deliver(sentMs + 20 + 10.5 * byteMs, 9600, out), 10u);
    EXPECT_EQ(line.unit.deliver(sentMs + 20 + 74 * byteMs, 9600, out), 64u);
    EXPECT_DOUBLE_EQ(line.unit.lastDeliveredMs(), sentMs + 20 + 74 * byteMs);
    EXPECT_EQ(line.unit.nextArrivalMs(), UnitModel::NEVER);
}

TEST(UnitModelTiming, PurgeLosesOnlyWhatHasArrived) {
    Line line(atBaud(9600));
    line.send(frame("%fw -p"));
    const double byteMs = 10000.0 / 9600;
    line.unit.discardArrived(line.now + 20 + 3.5 * byteMs);
    std::vector<uint8_t> out;
    line.unit.deliver(line.now + 1000, 9600, out);
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(TX_IDENTITY).substr(3));
}

TEST(UnitModelUpload, WholeUpdateAtAConsoleRateOf9600) {
    Line line(atBaud(9600));
    const auto logic = imageOf(25000);
    const auto controller = imageOf(3001);
    EXPECT_EQ(line.ask(uploadCommand('l', checksumOf(logic), logic.size())), "Ready");
    EXPECT_EQ(line.read(19000), "") << "waits while the program ends its collection of Ready";
    line.baud = 115200;
    line.send(logic);
    EXPECT_EQ(line.read(1000), "SUCCESS");
    // Still at 115200 for the controller image.
    EXPECT_EQ(line.ask(uploadCommand('h', checksumOf(controller), controller.size())), "Ready");
    line.send(controller);
    EXPECT_EQ(line.read(1000), "SUCCESS");
    EXPECT_LT(line.unit.promptSentMs(), UnitModel::NEVER);

    line.baud = 9600;
    line.send(frame("%fw -v"));  // ignored while it reboots
    EXPECT_EQ(line.read(140000), "");
    EXPECT_EQ(line.read(10000), "[TX]>>");
    EXPECT_LE(line.unit.promptSentMs(), line.now);
    EXPECT_EQ(line.ask("%fw -v"), "1.2.0 XC7A15 1.5 9\r\n>>") << "back at the console rate";

    ASSERT_EQ(line.unit.images().size(), 2u);
    EXPECT_EQ(line.unit.images()[0].command, 'l');
    EXPECT_EQ(line.unit.images()[0].bytes, logic);
    EXPECT_EQ(line.unit.images()[1].command, 'h');
    EXPECT_TRUE(line.unit.images()[1].checksumOk && line.unit.images()[1].lengthOk);
}

TEST(UnitModelUpload, VerifiesWhatItReceived) {
    struct Case {
        const char* name;
        uint32_t checksumDelta;
        size_t missing;
        const char* reply;
        bool checksumOk, lengthOk;
    };
    const Case cases[] = {
        {"good", 0, 0, "SUCCESS", true, true},
        {"bad checksum", 1, 0, "FAILED", false, true},
        {"short", 0, 10, "FAILED", false, false},
    };
    for (const Case& c : cases) {
        Line line;
        const auto image = imageOf(5000);
        line.ask(uploadCommand('l', checksumOf(image) + c.checksumDelta, image.size()));
        line.send(image, 0, image.size() - c.missing);
        EXPECT_EQ(line.read(31000), c.reply) << c.name;
        ASSERT_EQ(line.unit.images().size(), 1u);
        EXPECT_TRUE(line.unit.images()[0].finished) << c.name;
        EXPECT_EQ(line.unit.images()[0].checksumOk, c.checksumOk) << c.name;
        EXPECT_EQ(line.unit.images()[0].lengthOk, c.lengthOk) << c.name;
        EXPECT_EQ(line.ask("%fw -p"), TX_IDENTITY) << c.name << ": back at the console";
    }
}

TEST(UnitModelFaults, ChangeTheReplies) {
    struct Case {
        Fault fault;
        std::string command;
        std::string reply;
    };
    const std::string ready = uploadCommand('l', 1, 10);
    const Case cases[] = {
        {Fault::Silence, "%help -c version", ""},
        {Fault::NoProbeReply, "%help -c version", ""},
        {Fault::NoVersionReply, "%fw -v", ""},
        {Fault::NoIdentity, "%fw -p", ""},
        {Fault::NoReadyLogic, ready, ""},
        {Fault::NoReadyController, uploadCommand('h', 1, 10), ""},
        {Fault::NoReadyController, ready, "Ready"},
        {Fault::WrongDeviceCode, "%fw -v", "1.2.0 XC7A35 1.5 1\r\n>>"},
        {Fault::MultiLineVersion, "%fw -v", "1.2.0\r\nXC7A15\r\n1.5\r\n9\r\n>>"},
        {Fault::WrongIdentity, "%fw -p", "Quorvi 6G SDI EXTENDER WITH ETHERNET\r\n>>"},
        {Fault::ReadyLineEnd, ready, "Ready\r\n"},
        {Fault::ReadyLowerCase, ready, "ready"},
        {Fault::Echo, "%fw -p", std::string("%%%fw -p\r\n") + TX_IDENTITY},
        {Fault::NulInReply, "%fw -p",
         std::string("Quorvi 6G SDI EXTENDE\0R TX WITH ETHERNET\r\n>>", 44)},
        {Fault::SecondProbeOnly, "%help -c version", ""},
    };
    for (const Case& c : cases) {
        Line line(withFaults({c.fault}));
        EXPECT_EQ(line.ask(c.command), c.reply) << static_cast<int>(c.fault) << " " << c.command;
    }
}

TEST(UnitModelFaults, SecondProbeIsAnswered) {
    Line line(withFaults({Fault::SecondProbeOnly}));
    EXPECT_EQ(line.ask("%help -c version"), "");
    EXPECT_EQ(line.ask("%help -c version"), PROBE_REPLY);
}

TEST(UnitModelFaults, SplitReplyPausesInsideOneReadWindow) {
    Line line(withFaults({Fault::SplitReplies}));
    line.send(frame("%fw -p"));
    EXPECT_EQ(line.read(200), std::string(TX_IDENTITY).substr(0, 21));
    EXPECT_EQ(line.read(100), "");
    EXPECT_EQ(line.read(200), std::string(TX_IDENTITY).substr(21));
}

TEST(UnitModelFaults, FloodKeepsTheLineBusyThenTheUnitAnswers) {
    Line line(withFaults({Fault::Flood}));
    line.send(frame("%help -c version"));
    const double floodMs = 1100000 * 10000.0 / 115200;
    size_t total = 0;
    for (double t = 0; t < floodMs + 1000; t += 500) {
        const size_t got = line.read(500).size();
        EXPECT_TRUE(got != 0 || t > floodMs) << "silent window at " << t;
        total += got;
    }
    EXPECT_EQ(total, 1100000u);
    EXPECT_EQ(line.ask("%help -c version"), PROBE_REPLY);
}

TEST(UnitModelFaults, HangUpInMidTransfer) {
    UnitConfig config = withFaults({Fault::HangUp});
    config.hangUpAfterImageBytes = 100;
    Line line(config);
    const auto image = imageOf(1000);
    line.ask(uploadCommand('l', checksumOf(image), image.size()));
    line.send(image, 0, 99);
    EXPECT_FALSE(line.unit.hungUp());
    line.send(image, 99, image.size());
    EXPECT_TRUE(line.unit.hungUp());
    EXPECT_EQ(line.read(5000), "");
}

TEST(UnitModelFaults, EarlySuccessComesWithHalfTheImage) {
    Line line(withFaults({Fault::EarlySuccess}));
    const auto image = imageOf(1000);
    line.ask(uploadCommand('l', checksumOf(image), image.size()));
    line.send(image, 0, 500);
    EXPECT_EQ(line.read(1000), "SUCCESS");
    line.send(image, 500, image.size());
    EXPECT_EQ(line.read(1000), "");
    EXPECT_TRUE(line.unit.images()[0].checksumOk);
}

TEST(UnitModelFaults, RebootPromptTiming) {
    struct Case {
        std::set<Fault> faults;
        double promptAfterMs;  // after the controller image's SUCCESS
    };
    const Case cases[] = {{{}, 145000}, {{Fault::EarlyPrompt}, 60000}, {{Fault::NoPrompt}, -1}};
    for (const Case& c : cases) {
        Line line(withFaults(c.faults));
        const auto image = imageOf(100);
        line.ask(uploadCommand('h', checksumOf(image), image.size()));
        line.send(image);
        const double lastByteMs = line.now;
        EXPECT_EQ(line.read(1000), "SUCCESS");
        EXPECT_EQ(line.read(200000), c.promptAfterMs < 0 ? "" : "[TX]>>");
        if (c.promptAfterMs >= 0) {
            const double byteMs = 10000.0 / 115200;
            const double successEndMs = lastByteMs + 200 + 7 * byteMs;
            EXPECT_DOUBLE_EQ(line.unit.promptSentMs(), successEndMs + c.promptAfterMs + 6 * byteMs);
        }
    }
}

TEST(UnitModelLog, TellsWhatHappened) {
    Line line;
    line.ask("%fw -v");
    const std::string log = line.unit.log();
    EXPECT_NE(log.find("rx frame \"%%%fw -v\""), std::string::npos) << log;
    EXPECT_NE(log.find("tx at 115200: \"1.2.0 XC7A15 1.5 9\\r\\n>>\""), std::string::npos) << log;
}

TEST(UnitModelFaults, NamesAreUniqueAndFound) {
    std::set<std::string> names;
    for (const FaultInfo& info : faultTable()) {
        EXPECT_TRUE(names.insert(info.name).second) << info.name;
        EXPECT_EQ(faultByName(info.name), info.fault);
    }
    EXPECT_FALSE(faultByName("no-such-fault"));
}

}  // namespace
