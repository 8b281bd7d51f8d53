#include "UnitModel.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iterator>
#include <utility>

namespace {

using Stage = UnitModel::Stage;

constexpr uint32_t TRANSFER_BAUD = 115200;
constexpr uint32_t MAX_IMAGE_LENGTH = 16u << 20;
constexpr size_t MAX_LINE = 4096;

constexpr char FRAME_END[] = "\n\r";
constexpr char NO_ECHO_PREFIX[] = "%%";
constexpr char PROBE[] = "%help -c version";
constexpr char PROBE_REPLY[] =
    "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";
constexpr char VERSION_QUERY[] = "%fw -v";
constexpr char PRODUCT_QUERY[] = "%fw -p";
constexpr char LOGIC_UPLOAD[] = "%fw -l ";
constexpr char CONTROLLER_UPLOAD[] = "%fw -h ";
constexpr char TX_IDENTITY[] = "Quorvi 6G SDI EXTENDER TX WITH ETHERNET\r\n>>";
constexpr char RX_IDENTITY[] = "Quorvi 6G SDI EXTENDER RX WITH ETHERNET\r\n>>";
constexpr char UNKNOWN_COMMAND[] = "ERROR: Unknown command\r\n>>";
constexpr char BAD_PARAMETERS[] = "ERROR: Invalid parameters\r\n>>";
constexpr char FLOOD_LINE[] = "FLOOD 0123456789 abcdefghijklmnopqrstuvwxyz\r\n";

constexpr FaultInfo FAULTS[] = {
    {Fault::Silence, "silence", "never answers anything"},
    {Fault::NoProbeReply, "no-probe-reply", "silent to the version probe"},
    {Fault::NoVersionReply, "no-version-reply", "silent to the version query"},
    {Fault::NoIdentity, "no-identity", "silent to the product query"},
    {Fault::NoReadyLogic, "no-ready-logic", "ignores the logic upload command"},
    {Fault::NoReadyController, "no-ready-controller", "ignores the controller upload command"},
    {Fault::NoSuccessLogic, "no-success-logic", "takes the logic image without a word"},
    {Fault::NoSuccessController, "no-success-controller",
     "takes the controller image without a word, does not reboot"},
    {Fault::NoPrompt, "no-prompt", "reboots without sending its prompt"},
    {Fault::WrongDeviceCode, "wrong-device-code", "version reply with device code 1"},
    {Fault::WrongIdentity, "wrong-identity", "product reply that is neither TX nor RX"},
    {Fault::ReadyLineEnd, "ready-line-end", "answers \"Ready\\r\\n\" to an upload command"},
    {Fault::ReadyLowerCase, "ready-lower-case", "answers \"ready\" to an upload command"},
    {Fault::Echo, "echo", "echoes every command, \"%%\" frames too"},
    {Fault::SplitReplies, "split-replies", "sends every reply in two bursts with a pause"},
    {Fault::NulInReply, "nul-in-reply", "puts a NUL byte in the middle of every reply"},
    {Fault::Flood, "flood", "answers the first command with over 1 MiB, no silent window"},
    {Fault::HangUp, "hang-up", "hangs up in mid-transfer"},
    {Fault::EarlySuccess, "early-success", "answers SUCCESS when half the image has arrived"},
    {Fault::EarlyPrompt, "early-prompt", "sends its prompt during the program's reboot wait"},
    {Fault::SecondProbeOnly, "second-probe-only", "ignores the first version probe"},
    {Fault::MultiLineVersion, "multi-line-version", "version reply with one field a line"},
};

struct Silencing {
    Fault fault;
    Stage stage;
};
constexpr Silencing SILENCINGS[] = {
    {Fault::NoProbeReply, Stage::Probe},
    {Fault::NoVersionReply, Stage::Version},
    {Fault::NoIdentity, Stage::Identity},
    {Fault::NoReadyLogic, Stage::ReadyLogic},
    {Fault::NoReadyController, Stage::ReadyController},
    {Fault::NoSuccessLogic, Stage::SuccessLogic},
    {Fault::NoSuccessController, Stage::SuccessController},
    {Fault::NoPrompt, Stage::Prompt},
};

struct Replacement {
    Fault fault;
    Stage stage;
    const char* text;
};
constexpr Replacement REPLACEMENTS[] = {
    {Fault::WrongDeviceCode, Stage::Version, "1.2.0 XC7A35 1.5 1\r\n>>"},
    {Fault::MultiLineVersion, Stage::Version, "1.2.0\r\nXC7A15\r\n1.5\r\n9\r\n>>"},
    {Fault::WrongIdentity, Stage::Identity, "Quorvi 6G SDI EXTENDER WITH ETHERNET\r\n>>"},
    {Fault::ReadyLineEnd, Stage::ReadyLogic, "Ready\r\n"},
    {Fault::ReadyLineEnd, Stage::ReadyController, "Ready\r\n"},
    {Fault::ReadyLowerCase, Stage::ReadyLogic, "ready"},
    {Fault::ReadyLowerCase, Stage::ReadyController, "ready"},
};

double byteMs(uint32_t baud) {
    return 10000.0 / baud;
}

// What a receiver at the wrong rate makes of a byte: never text, always the same for a byte.
uint8_t garbled(uint8_t byte) {
    return static_cast<uint8_t>(0x80u | ((byte * 37u + 11u) & 0x7Fu));
}

std::vector<uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

std::string printable(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\\' || c == '"') {
            shown += '\\';
            shown += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            shown += hex;
        } else {
            shown += c;
        }
    }
    return shown;
}

// A decimal number of digits only, within [1, max]; nothing else accepted.
std::optional<uint32_t> strictNumber(std::string_view text, uint64_t max) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos) {
        return std::nullopt;
    }
    uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value > max) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

uint32_t checksumOf(const std::vector<uint8_t>& bytes) {
    uint32_t sum = 0;
    for (const uint8_t byte : bytes) {
        sum -= byte;
    }
    return sum;
}

std::vector<uint8_t> floodText(size_t size) {
    std::vector<uint8_t> flood;
    flood.reserve(size);
    const std::string_view line = FLOOD_LINE;
    while (flood.size() < size) {
        const size_t take = std::min(line.size(), size - flood.size());
        flood.insert(flood.end(), line.begin(), line.begin() + static_cast<std::ptrdiff_t>(take));
    }
    return flood;
}

}  // namespace

std::span<const FaultInfo> faultTable() {
    return FAULTS;
}

std::optional<Fault> faultByName(std::string_view name) {
    for (const FaultInfo& info : FAULTS) {
        if (name == info.name) {
            return info.fault;
        }
    }
    return std::nullopt;
}

UnitModel::UnitModel(UnitConfig config)
    : config_(std::move(config)), listenBaud_(config_.consoleBaud) {}

// ---- The line from the unit -------------------------------------------------------------------

double UnitModel::sendRaw(double atMs, uint32_t baud, std::vector<uint8_t> bytes) {
    if (config_.has(Fault::Silence) || hungUp_ || bytes.empty()) {
        return atMs;
    }
    const double startMs = std::max(atMs, lineFreeMs_);
    lineFreeMs_ = startMs + static_cast<double>(bytes.size()) * byteMs(baud);
    note(startMs, "tx at " + std::to_string(baud) + ": \"" +
                      printable({reinterpret_cast<const char*>(bytes.data()), bytes.size()}) +
                      "\"");
    outgoing_.push_back({startMs, baud, std::move(bytes)});
    return lineFreeMs_;
}

size_t UnitModel::consumeArrived(double tMs, uint32_t programBaud, std::vector<uint8_t>* out,
                                 size_t maxBytes) {
    size_t count = 0;
    while (count < maxBytes && !outgoing_.empty()) {
        const Segment& segment = outgoing_.front();
        const double perByte = byteMs(segment.baud);
        for (; sentOfFront_ < segment.bytes.size() && count < maxBytes; ++sentOfFront_, ++count) {
            const double arrivalMs =
                segment.startMs + static_cast<double>(sentOfFront_ + 1) * perByte;
            if (arrivalMs > tMs) {
                return count;
            }
            const uint8_t byte = segment.bytes[sentOfFront_];
            if (out != nullptr) {
                out->push_back(programBaud == segment.baud ? byte : garbled(byte));
            }
            lastDeliveredMs_ = arrivalMs;
        }
        if (sentOfFront_ == segment.bytes.size()) {
            outgoing_.pop_front();
            sentOfFront_ = 0;
        }
    }
    return count;
}

size_t UnitModel::deliver(double tMs, uint32_t programBaud, std::vector<uint8_t>& out,
                          size_t maxBytes) {
    return consumeArrived(tMs, programBaud, &out, maxBytes);
}

void UnitModel::discardArrived(double tMs) {
    const size_t lost = consumeArrived(tMs, 0, nullptr, std::numeric_limits<size_t>::max());
    if (lost != 0) {
        note(tMs, "purged by the receiver: " + std::to_string(lost) + " bytes");
    }
}

double UnitModel::nextArrivalMs() const {
    if (outgoing_.empty()) {
        return NEVER;
    }
    const Segment& segment = outgoing_.front();
    return segment.startMs + static_cast<double>(sentOfFront_ + 1) * byteMs(segment.baud);
}

// ---- Replies ----------------------------------------------------------------------------------

bool UnitModel::silentAt(Stage stage) const {
    return std::any_of(std::begin(SILENCINGS), std::end(SILENCINGS), [&](const Silencing& s) {
        return s.stage == stage && config_.has(s.fault);
    });
}

std::optional<std::string> UnitModel::replacementFor(Stage stage) const {
    for (const Replacement& replacement : REPLACEMENTS) {
        if (replacement.stage == stage && config_.has(replacement.fault)) {
            return replacement.text;
        }
    }
    return std::nullopt;
}

double UnitModel::reply(double atMs, Stage stage, std::string text) {
    if (silentAt(stage)) {
        note(atMs, "stays silent (fault)");
        return atMs;
    }
    text = replacementFor(stage).value_or(std::move(text));
    if (config_.has(Fault::NulInReply)) {
        text.insert(text.size() / 2, 1, '\0');
    }
    const uint32_t baud = stage == Stage::Prompt ? config_.consoleBaud : listenBaud_;
    if (config_.has(Fault::SplitReplies) && text.size() >= 2) {
        const std::string_view whole = text;
        const double firstEndMs = sendRaw(atMs, baud, bytesOf(whole.substr(0, text.size() / 2)));
        return sendRaw(firstEndMs + config_.splitPauseMs, baud,
                       bytesOf(whole.substr(text.size() / 2)));
    }
    return sendRaw(atMs, baud, bytesOf(text));
}

std::string UnitModel::identity() const {
    return config_.kind == UnitConfig::Kind::TX ? TX_IDENTITY : RX_IDENTITY;
}

// ---- The line to the unit ---------------------------------------------------------------------

void UnitModel::advance(double tMs) {
    while (!switches_.empty() && switches_.begin()->first <= tMs) {
        const Switch next = switches_.begin()->second;
        switches_.erase(switches_.begin());
        mode_ = next.mode;
        listenBaud_ = next.listenBaud;
    }
    const double stallEndMs = lastImageByteMs_ + config_.transferIdleTimeoutMs;
    if (mode_ == Mode::Receiving && stallEndMs < tMs) {
        note(stallEndMs, "transfer stalled: given up");
        finishImage(stallEndMs, false);
    }
}

void UnitModel::receive(double tMs, const uint8_t* data, size_t n, uint32_t programBaud) {
    if (hungUp_ || n == 0) {
        return;
    }
    advance(tMs);
    if (mode_ == Mode::AwaitImage || mode_ == Mode::Rebooting) {
        note(tMs, "rx ignored while busy: " + std::to_string(n) + " bytes");
        return;
    }
    if (programBaud != listenBaud_) {
        note(tMs, "rx garbage: " + std::to_string(n) + " bytes sent at " +
                      std::to_string(programBaud) + ", listening at " +
                      std::to_string(listenBaud_));
        line_.clear();
        return;
    }
    for (size_t i = 0; i < n && !hungUp_; ++i) {
        if (mode_ == Mode::Receiving) {
            takeImageByte(tMs, data[i]);
        } else if (mode_ == Mode::Console) {
            takeConsoleByte(tMs, data[i]);
        }
    }
}

void UnitModel::takeConsoleByte(double tMs, uint8_t byte) {
    line_ += static_cast<char>(byte);
    if (line_.ends_with(FRAME_END)) {
        const std::string frame = line_.substr(0, line_.size() - 2);
        line_.clear();
        handleFrame(tMs, frame);
    } else if (line_.size() > MAX_LINE) {
        note(tMs, "line too long: dropped");
        line_.clear();
    }
}

void UnitModel::handleFrame(double tMs, const std::string& frame) {
    note(tMs, "rx frame \"" + printable(frame) + "\"");
    const bool noEcho = frame.starts_with(NO_ECHO_PREFIX);
    if (!noEcho || config_.has(Fault::Echo)) {
        sendRaw(tMs + config_.replyDelayMs, listenBaud_, bytesOf(frame + "\r\n"));
    }
    if (config_.has(Fault::Flood) && !floodSent_) {
        floodSent_ = true;
        sendRaw(tMs + config_.replyDelayMs, listenBaud_, floodText(config_.floodBytes));
        return;
    }
    handleCommand(tMs, noEcho ? frame.substr(2) : frame);
}

void UnitModel::handleCommand(double tMs, const std::string& command) {
    const double replyMs = tMs + config_.replyDelayMs;
    if (command == PROBE) {
        if (config_.has(Fault::SecondProbeOnly) && ++probesSeen_ == 1) {
            note(tMs, "first probe ignored (fault)");
            return;
        }
        reply(replyMs, Stage::Probe, PROBE_REPLY);
    } else if (command == VERSION_QUERY) {
        reply(replyMs, Stage::Version, config_.versionReply);
    } else if (command == PRODUCT_QUERY) {
        reply(replyMs, Stage::Identity, identity());
    } else if (command.starts_with(LOGIC_UPLOAD) || command.starts_with(CONTROLLER_UPLOAD)) {
        startUpload(tMs, command[5], command.substr(sizeof(LOGIC_UPLOAD) - 1));
    } else if (!command.empty()) {
        reply(replyMs, Stage::Error, UNKNOWN_COMMAND);
    }
}

// ---- Image upload -----------------------------------------------------------------------------

void UnitModel::startUpload(double tMs, char kind, const std::string& arguments) {
    const size_t space = arguments.find(' ');
    const std::string_view args = arguments;
    const auto checksum = strictNumber(args.substr(0, space), UINT32_MAX);
    // No space: an empty length, which strictNumber refuses.
    const auto length = strictNumber(
        space == args.npos ? std::string_view() : args.substr(space + 1), MAX_IMAGE_LENGTH);
    if (!checksum || !length || *length == 0) {
        reply(tMs + config_.replyDelayMs, Stage::Error, BAD_PARAMETERS);
        return;
    }
    const Stage ready = kind == 'l' ? Stage::ReadyLogic : Stage::ReadyController;
    if (silentAt(ready) || config_.has(Fault::Silence)) {
        note(tMs, "upload command ignored (fault)");
        return;
    }
    images_.push_back({kind, *checksum, *length, {}, false, false, false});
    images_.back().bytes.reserve(*length);
    earlySuccessSent_ = false;
    const double readyEndMs = reply(tMs + config_.readyDelayMs, ready, "Ready");
    note(readyEndMs, "takes " + std::to_string(*length) + " bytes at 115200");
    mode_ = Mode::AwaitImage;
    switches_.emplace(readyEndMs, Switch{Mode::Receiving, TRANSFER_BAUD});
    lastImageByteMs_ = readyEndMs;
}

void UnitModel::takeImageByte(double tMs, uint8_t byte) {
    ReceivedImage& image = images_.back();
    image.bytes.push_back(byte);
    lastImageByteMs_ = tMs;
    if (image.bytes.size() == 1) {
        note(tMs, std::string("image ") + image.command + ": first byte");
    }
    if (config_.has(Fault::HangUp) && ++imageBytesInAll_ == config_.hangUpAfterImageBytes) {
        note(tMs, "hangs up (fault)");
        hungUp_ = true;
        outgoing_.clear();
        return;
    }
    const Stage success = image.command == 'l' ? Stage::SuccessLogic : Stage::SuccessController;
    if (config_.has(Fault::EarlySuccess) && !earlySuccessSent_ &&
        image.bytes.size() == std::max<size_t>(image.announcedLength / 2, 1)) {
        earlySuccessSent_ = true;
        reply(tMs + config_.successDelayMs, success, "SUCCESS");
    }
    if (image.bytes.size() == image.announcedLength) {
        finishImage(tMs, true);
    }
}

void UnitModel::finishImage(double tMs, bool complete) {
    ReceivedImage& image = images_.back();
    image.finished = true;
    image.lengthOk = complete;
    image.checksumOk = complete && checksumOf(image.bytes) == image.announcedChecksum;
    const bool accepted = image.lengthOk && image.checksumOk;
    note(tMs, std::string("image ") + image.command + ": " + std::to_string(image.bytes.size()) +
                  " of " + std::to_string(image.announcedLength) + " bytes, checksum " +
                  (image.checksumOk ? "ok" : "wrong"));
    mode_ = Mode::Console;
    const Stage success = image.command == 'l' ? Stage::SuccessLogic : Stage::SuccessController;
    if (earlySuccessSent_) {
        return;
    }
    const double endMs =
        reply(tMs + config_.successDelayMs, success, accepted ? "SUCCESS" : "FAILED");
    if (image.command == 'h' && accepted && !silentAt(success)) {
        scheduleReboot(endMs);
    }
}

void UnitModel::scheduleReboot(double successEndMs) {
    mode_ = Mode::Rebooting;
    const double bootMs =
        config_.has(Fault::EarlyPrompt) ? config_.earlyPromptBootMs : config_.bootMs;
    const double upMs = successEndMs + bootMs;
    note(successEndMs, "reboots");
    switches_.emplace(upMs, Switch{Mode::Console, config_.consoleBaud});
    std::string prompt = config_.prompt;
    if (prompt.empty()) {
        prompt = config_.kind == UnitConfig::Kind::TX ? "[TX]>>" : "[RX]>>";
    }
    const double promptEndMs = reply(upMs, Stage::Prompt, prompt);
    if (promptEndMs > upMs) {
        promptSentMs_ = promptEndMs;
    }
}

// ---- Log --------------------------------------------------------------------------------------

void UnitModel::note(double tMs, const std::string& what) {
    char time[32];
    std::snprintf(time, sizeof time, "%12.3f ms  ", tMs);
    log_.push_back(time + what);
}

std::string UnitModel::log() const {
    std::string text;
    for (const std::string& line : log_) {
        text += line;
        text += '\n';
    }
    return text;
}
