// A model of the unit's device console: what it answers, when, and at which baud rate.
//
// Time is passed in by the caller in milliseconds, so one model serves the virtual clock of the
// simulated platform and the real clock of the unit-simulator on a pseudo-terminal. Calls must
// come with non-decreasing times.
//
// The line: every byte takes 10 bit times (8N1). Bytes the program sends at a rate other than the
// one the unit listens at are garbage to the unit; bytes the unit sends reach a program listening
// at another rate as garbage (deterministic bytes with the top bit set).
#ifndef BRIVANTA_UNIT_MODEL_H
#define BRIVANTA_UNIT_MODEL_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Misbehaviour on demand; the names are those of the unit-simulator's --fault option.
enum class Fault {
    Silence,              // never answers anything
    NoProbeReply,         // silent to the version probe
    NoVersionReply,       // silent to the version query
    NoIdentity,           // silent to the product query
    NoReadyLogic,         // ignores the logic upload command
    NoReadyController,    // ignores the controller upload command
    NoSuccessLogic,       // takes the logic image but says nothing
    NoSuccessController,  // takes the controller image but says nothing (and does not reboot)
    NoPrompt,             // reboots without a prompt
    WrongDeviceCode,      // version reply with device code 1
    WrongIdentity,        // product reply that is neither TX nor RX
    ReadyLineEnd,         // "Ready\r\n"
    ReadyLowerCase,       // "ready"
    Echo,                 // echoes "%%" frames too
    SplitReplies,         // every reply in two bursts with a pause shorter than a read window
    NulInReply,           // a NUL byte in the middle of every reply
    Flood,                // answers the first command with more than 1 MiB, no silent window
    HangUp,               // hangs up in mid-transfer
    EarlySuccess,         // answers SUCCESS when half the image has arrived
    EarlyPrompt,          // prompt during the program's reboot wait
    SecondProbeOnly,      // ignores the first version probe
    MultiLineVersion,     // version reply with one field a line
};

struct FaultInfo {
    Fault fault;
    const char* name;
    const char* help;
};
std::span<const FaultInfo> faultTable();
std::optional<Fault> faultByName(std::string_view name);

struct UnitConfig {
    enum class Kind { TX, RX };
    Kind kind = Kind::TX;
    uint32_t consoleBaud = 115200;
    // The whole answer to the version query.
    std::string versionReply = "1.2.0 XC7A15 1.5 9\r\n>>";
    // Sent after a reboot; empty means "[TX]>>" or "[RX]>>".
    std::string prompt;
    double replyDelayMs = 20;     // from a command's terminator to its reply (echo included)
    double readyDelayMs = 200;    // from an upload command to "Ready"
    double successDelayMs = 200;  // from the image's last byte to "SUCCESS"
    // From the end of the controller image's "SUCCESS" to the prompt. The program answers that
    // SUCCESS with two 1000 ms reads, waits 138 s and reads 1000 ms more before its 11000 ms
    // read; 145 s lands the prompt in the middle of that last read.
    double bootMs = 145000;
    double earlyPromptBootMs = 60000;       // the boot time under Fault::EarlyPrompt
    double splitPauseMs = 300;              // the pause inside a split reply
    size_t floodBytes = 1100000;            // under Fault::Flood
    size_t hangUpAfterImageBytes = 102400;  // image bytes taken before Fault::HangUp strikes
    // An image transfer that stalls this long is given up: "FAILED", back to the console. The
    // program collects "Ready" until a silent 10000 ms read before it sends the first byte.
    double transferIdleTimeoutMs = 30000;
    std::set<Fault> faults;

    bool has(Fault fault) const { return faults.count(fault) != 0; }
};

// One image as the unit took it in.
struct ReceivedImage {
    char command = 'l';  // 'l' logic image, 'h' controller image
    uint32_t announcedChecksum = 0;
    uint32_t announcedLength = 0;
    std::vector<uint8_t> bytes;
    bool finished = false;  // verified: all announced bytes arrived, or the transfer was given up
    bool checksumOk = false;
    bool lengthOk = false;
};

class UnitModel {
  public:
    static constexpr double NEVER = std::numeric_limits<double>::infinity();

    explicit UnitModel(UnitConfig config = {});

    // Bytes the program wrote at programBaud, the last of them arriving at tMs.
    void receive(double tMs, const uint8_t* data, size_t n, uint32_t programBaud);
    // Appends to `out` the bytes not yet delivered that have fully arrived by tMs, as a receiver
    // at programBaud sees them, at most maxBytes of them. Returns how many were appended.
    size_t deliver(double tMs, uint32_t programBaud, std::vector<uint8_t>& out,
                   size_t maxBytes = std::numeric_limits<size_t>::max());
    // When the last byte handed out by deliver() arrived.
    double lastDeliveredMs() const { return lastDeliveredMs_; }
    // When the next byte not yet delivered arrives (NEVER when nothing is on its way).
    double nextArrivalMs() const;
    // The receiver's input queue is purged at tMs: bytes that arrived by then are lost.
    void discardArrived(double tMs);
    // Lets time pass to tMs without input: mode switches fall due, a stalled transfer is given
    // up. receive() does this itself; a caller that only reads calls it before its last deliver.
    void advance(double tMs);

    bool hungUp() const { return hungUp_; }
    // When the reboot prompt's last byte is on the line (NEVER until a prompt is scheduled).
    double promptSentMs() const { return promptSentMs_; }
    const UnitConfig& config() const { return config_; }
    const std::vector<ReceivedImage>& images() const { return images_; }
    // What the unit received, decided and sent, a line per event, with times.
    std::string log() const;
    // Adds a line to the log (times non-decreasing, as for every call).
    void note(double tMs, const std::string& what);

    // The replies the unit gives, for the fault tables.
    enum class Stage {
        Probe,
        Version,
        Identity,
        ReadyLogic,
        ReadyController,
        SuccessLogic,
        SuccessController,
        Prompt,
        Error
    };

  private:
    enum class Mode { Console, AwaitImage, Receiving, Rebooting };
    struct Segment {
        double startMs;
        uint32_t baud;
        std::vector<uint8_t> bytes;
    };
    struct Switch {
        Mode mode;
        uint32_t listenBaud;
    };

    size_t consumeArrived(double tMs, uint32_t programBaud, std::vector<uint8_t>* out,
                          size_t maxBytes);
    void takeConsoleByte(double tMs, uint8_t byte);
    void takeImageByte(double tMs, uint8_t byte);
    void handleFrame(double tMs, const std::string& frame);
    void handleCommand(double tMs, const std::string& command);
    void startUpload(double tMs, char kind, const std::string& arguments);
    void finishImage(double tMs, bool complete);
    void scheduleReboot(double successEndMs);
    // Sends a reply of `stage` (faults applied); returns when its last byte is on the line.
    double reply(double atMs, Stage stage, std::string text);
    double sendRaw(double atMs, uint32_t baud, std::vector<uint8_t> bytes);
    std::optional<std::string> replacementFor(Stage stage) const;
    bool silentAt(Stage stage) const;
    std::string identity() const;

    UnitConfig config_;
    Mode mode_ = Mode::Console;
    uint32_t listenBaud_;
    std::multimap<double, Switch> switches_;
    std::string line_;
    bool floodSent_ = false;
    int probesSeen_ = 0;
    std::vector<ReceivedImage> images_;
    double lastImageByteMs_ = 0;
    bool earlySuccessSent_ = false;
    size_t imageBytesInAll_ = 0;
    bool hungUp_ = false;
    std::deque<Segment> outgoing_;
    size_t sentOfFront_ = 0;  // bytes of outgoing_.front() already delivered or discarded
    double lineFreeMs_ = 0;   // when the unit's transmitter has sent all it was given
    double lastDeliveredMs_ = 0;
    double promptSentMs_ = NEVER;
    std::vector<std::string> log_;
};

#endif  // BRIVANTA_UNIT_MODEL_H
