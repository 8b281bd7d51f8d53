// unit-simulator: one simulated unit served on a pseudo-terminal in real time, for end-to-end runs
// of the real executables and for demonstrations. See --help.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "UnitModel.h"

namespace {

namespace fs = std::filesystem;

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_PROMPT = 1;
constexpr double MAX_POLL_MS = 20;
// A prompt that nobody reads is given up after this long (the program's last read is 11 s).
constexpr double DRAIN_GRACE_MS = 15000;
// Output the pty refuses for this long goes the way of bytes sent to a closed port.
constexpr double STUCK_OUTPUT_MS = 1000;
// Under --pace: the program may write on while no more than this is on the line (a UART's or a
// USB adapter's transmit FIFO).
constexpr size_t TRANSMIT_FIFO_BYTES = 64;

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

struct Options {
    UnitConfig config;
    std::vector<std::string> links;
    std::string saveDir;
    bool exitAfterReboot = false;
    bool pace = false;
    double timeoutS = 0;  // 0: no limit
};

// ---- Options ----------------------------------------------------------------------------------

// C escapes \r \n \t \\ \0 and \xHH; anything else stands for itself.
std::string unescape(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '\\' || p[1] == '\0') {
            out += *p;
            continue;
        }
        switch (*++p) {
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '0':
                out += '\0';
                break;
            case 'x':
                if (std::isxdigit(static_cast<unsigned char>(p[1])) != 0) {
                    char* end = nullptr;
                    const std::string digits(p + 1, std::min<size_t>(2, std::strlen(p + 1)));
                    out += static_cast<char>(std::strtoul(digits.c_str(), &end, 16));
                    p += end - digits.c_str();
                    break;
                }
                out += 'x';
                break;
            default:
                out += *p;
                break;
        }
    }
    return out;
}

std::optional<double> numberOf(const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= 0)) {
        return std::nullopt;
    }
    return value;
}

struct Option {
    const char* name;
    const char* value;  // null: a flag
    const char* help;
    std::function<bool(Options&, const char*)> apply;
};

// Stores a non-negative number into a field of the options.
template <typename T>
std::function<bool(Options&, const char*)> numberInto(T UnitConfig::*field) {
    return [field](Options& options, const char* text) {
        const auto value = numberOf(text);
        if (value) {
            options.config.*field = static_cast<T>(*value);
        }
        return value.has_value();
    };
}

// Stores a text, C escapes resolved, into a field of the options.
std::function<bool(Options&, const char*)> textInto(std::string UnitConfig::*field) {
    return [field](Options& options, const char* text) {
        options.config.*field = unescape(text);
        return true;
    };
}

const std::vector<Option>& optionTable() {
    static const std::vector<Option> table = {
        {"--kind", "tx|rx", "the unit's identity (default tx)",
         [](Options& o, const char* v) {
             const std::string kind = v;
             o.config.kind = kind == "rx" ? UnitConfig::Kind::RX : UnitConfig::Kind::TX;
             return kind == "tx" || kind == "rx";
         }},
        {"--baud", "N", "the console's baud rate (default 115200)",
         [](Options& o, const char* v) {
             const auto value = numberOf(v);
             o.config.consoleBaud = value ? static_cast<uint32_t>(*value) : 0;
             return o.config.consoleBaud != 0;
         }},
        {"--version-reply", "TEXT",
         "the answer to \"%fw -v\" (default \"1.2.0 XC7A15 1.5 9\\r\\n>>\")",
         textInto(&UnitConfig::versionReply)},
        {"--prompt", "TEXT", "the prompt after a reboot (default \"[TX]>>\" or \"[RX]>>\")",
         textInto(&UnitConfig::prompt)},
        {"--reply-delay-ms", "N", "from a command to its reply (default 20)",
         numberInto(&UnitConfig::replyDelayMs)},
        {"--ready-delay-ms", "N", "from an upload command to \"Ready\" (default 200)",
         numberInto(&UnitConfig::readyDelayMs)},
        {"--success-delay-ms", "N", "from an image's last byte to \"SUCCESS\" (default 200)",
         numberInto(&UnitConfig::successDelayMs)},
        {"--boot-ms", "N", "from the controller image's SUCCESS to the prompt (default 145000)",
         numberInto(&UnitConfig::bootMs)},
        {"--flood-bytes", "N", "size of the flood under --fault flood (default 1100000)",
         numberInto(&UnitConfig::floodBytes)},
        {"--hang-up-after-bytes", "N", "image bytes taken before --fault hang-up (default 102400)",
         numberInto(&UnitConfig::hangUpAfterImageBytes)},
        {"--fault", "NAME", "misbehave as NAME (below); repeatable",
         [](Options& o, const char* v) {
             const auto fault = faultByName(v);
             if (fault) {
                 o.config.faults.insert(*fault);
             }
             return fault.has_value();
         }},
        {"--link", "PATH", "make PATH a symbolic link to the pseudo-terminal; repeatable",
         [](Options& o, const char* v) {
             o.links.emplace_back(v);
             return true;
         }},
        {"--save-dir", "DIR", "save received images as image-1.bin, ... and the log as log.txt",
         [](Options& o, const char* v) {
             o.saveDir = v;
             return true;
         }},
        {"--exit-after-reboot", nullptr, "exit 0 once the reboot prompt has been read",
         [](Options& o, const char*) {
             o.exitAfterReboot = true;
             return true;
         }},
        {"--pace", nullptr, "the program's bytes cross the line at its baud rate: its writes wait",
         [](Options& o, const char*) {
             o.pace = true;
             return true;
         }},
        {"--timeout-s", "N", "exit after N seconds (default: run until a signal)",
         [](Options& o, const char* v) {
             const auto value = numberOf(v);
             o.timeoutS = value.value_or(0);
             return value.has_value();
         }},
    };
    return table;
}

void printHelp() {
    std::printf(
        "usage: unit-simulator [options]\n"
        "Serves one simulated unit (its device console) on a pseudo-terminal in real time.\n"
        "Prints \"unit-simulator: <pseudo-terminal path>\" once it is ready.\n\n");
    for (const Option& option : optionTable()) {
        const std::string left =
            std::string(option.name) + (option.value ? std::string(" ") + option.value : "");
        std::printf("  %-28s %s\n", left.c_str(), option.help);
    }
    std::printf("  %-28s %s\n\nFaults:\n", "--help", "this text");
    for (const FaultInfo& fault : faultTable()) {
        std::printf("  %-28s %s\n", fault.name, fault.help);
    }
    std::printf(
        "\nTEXT takes the C escapes \\r \\n \\t \\\\ \\0 \\xHH.\n"
        "The program's baud rate is read from the pseudo-terminal's settings; bytes at another\n"
        "rate than the unit's are garbage both ways. SIGTERM and SIGINT end it cleanly.\n"
        "Exit status: 0 when stopped, timed out or (--exit-after-reboot) after the prompt;\n"
        "1 when --exit-after-reboot was given and the time ran out first; 2 on a usage or\n"
        "set-up error. Under --fault hang-up it closes the pseudo-terminal and exits 0.\n");
}

const Option* findOption(const char* name) {
    for (const Option& option : optionTable()) {
        if (std::strcmp(option.name, name) == 0) {
            return &option;
        }
    }
    return nullptr;
}

// The options, or an exit status when the run ends here.
std::optional<int> parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            printHelp();
            return 0;
        }
        const Option* option = findOption(argv[i]);
        if (option == nullptr) {
            std::fprintf(stderr, "unit-simulator: unknown option %s (see --help)\n", argv[i]);
            return EXIT_USAGE;
        }
        const char* value = option->value == nullptr ? "" : (i + 1 < argc ? argv[++i] : nullptr);
        if (value == nullptr || !option->apply(options, value)) {
            std::fprintf(stderr, "unit-simulator: bad value for %s (see --help)\n", option->name);
            return EXIT_USAGE;
        }
    }
    return std::nullopt;
}

// ---- The pseudo-terminal ----------------------------------------------------------------------

uint32_t baudOf(speed_t speed) {
    struct Rate {
        speed_t speed;
        uint32_t baud;
    };
    static constexpr Rate RATES[] = {
        {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
        {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
        {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    for (const Rate& rate : RATES) {
        if (rate.speed == speed) {
            return rate.baud;
        }
    }
    return 0;
}

speed_t speedOf(uint32_t baud) {
    for (speed_t speed : {B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200}) {
        if (baudOf(speed) == baud) {
            return speed;
        }
    }
    return B9600;
}

class Pty {
  public:
    ~Pty() { close(); }

    // Master and slave; the slave in raw mode at `baud`. We hold the slave open ourselves so
    // the program's opens and closes never leave the master without a peer.
    bool open(uint32_t baud) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            return false;
        }
        const char* name = ptsname(master_);
        if (name == nullptr) {
            return false;
        }
        slavePath_ = name;
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios settings{};
        if (slave_ < 0 || tcgetattr(slave_, &settings) != 0) {
            return false;
        }
        cfmakeraw(&settings);
        cfsetispeed(&settings, speedOf(baud));
        cfsetospeed(&settings, speedOf(baud));
        return tcsetattr(slave_, TCSANOW, &settings) == 0;
    }

    void close() {
        holdProgramOutput(false);
        for (int* fd : {&master_, &slave_}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
    }

    // The rate the program set on its end.
    uint32_t programBaud() const {
        termios settings{};
        return tcgetattr(slave_, &settings) == 0 ? baudOf(cfgetospeed(&settings)) : 0;
    }

    // Holds or releases the program's output, as a line stopped by flow control: its writes
    // wait while held. Released at the end, so that no program is left hanging in a write.
    void holdProgramOutput(bool hold) {
        if (hold != outputHeld_ && slave_ >= 0 && tcflow(slave_, hold ? TCOOFF : TCOON) == 0) {
            outputHeld_ = hold;
        }
    }

    // Bytes sent to the program that it has not read yet.
    int unread() const {
        int count = 0;
        return ioctl(slave_, FIONREAD, &count) == 0 ? count : 0;
    }

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    bool outputHeld_ = false;
    std::string slavePath_;
};

class Links {
  public:
    explicit Links(std::string target) : target_(std::move(target)) {}

    // Only links that still lead to our terminal: a later simulator may have taken the path.
    ~Links() {
        for (const std::string& link : made_) {
            if (fs::read_symlink(link, error_) == target_) {
                unlink(link.c_str());
            }
        }
    }

    bool make(const std::vector<std::string>& paths) {
        for (const std::string& path : paths) {
            unlink(path.c_str());  // a link left by an earlier run
            if (symlink(target_.c_str(), path.c_str()) != 0) {
                std::fprintf(stderr, "unit-simulator: cannot link %s: %s\n", path.c_str(),
                             std::strerror(errno));
                return false;
            }
            made_.push_back(path);
        }
        return true;
    }

  private:
    std::string target_;
    std::vector<std::string> made_;
    std::error_code error_;
};

// ---- The program's bytes on a paced line (--pace) ---------------------------------------------

// On a real line a write returns when its bytes are on the line: one byte per 10 bit times (8N1).
// A pty takes whatever the program writes at memory speed. So under --pace the server keeps the
// account of the line: every byte taken off the pty starts when the line is free, and the
// program's output is held (tcflow TCOOFF on the terminal side) until no more than a transmit
// FIFO's worth is left on the line.
//
// A pty cannot hold a write half-way: once released, the program puts in whatever the kernel's
// buffer takes (some 10 KiB) before the hold lands, and that write returns at once. So the
// program is at most one such burst ahead of the line. The unit takes the bytes as the program's
// write returns, as it would at the end of a real port's write; the log keeps the line's own
// times, from which the line rate of a transfer is measured.
class PacedLine {
  public:
    struct Burst {
        double startMs;  // the first byte's start bit
        double endMs;    // the last byte's stop bit
    };

    // Bytes written at `baud` and taken off the pty at nowMs: they follow what is on the line.
    Burst take(double nowMs, size_t n, uint32_t baud) {
        const double startMs = std::max(nowMs, lineFreeMs_);
        byteMs_ = byteMs(baud);
        lineFreeMs_ = startMs + static_cast<double>(n) * byteMs_;
        return {startMs, lineFreeMs_};
    }

    // From when the program may write again: no more than `fifoBytes` are left on the line.
    double releaseMs(size_t fifoBytes) const {
        return lineFreeMs_ - static_cast<double>(fifoBytes) * byteMs_;
    }

  private:
    static double byteMs(uint32_t baud) { return 10000.0 / std::max<uint32_t>(baud, 1); }

    double lineFreeMs_ = 0;
    double byteMs_ = 0;
};

// ---- Serving ----------------------------------------------------------------------------------

class Server {
  public:
    Server(const Options& options, Pty& pty)
        : options_(options), pty_(pty), unit_(options.config), start_(Clock::now()) {
        // The log's times count from here; this puts them on the system's monotonic clock.
        const double originS = std::chrono::duration<double>(start_.time_since_epoch()).count();
        char origin[64];
        std::snprintf(origin, sizeof origin, "clock origin %.6f s (steady clock)", originS);
        unit_.note(0, origin);
    }

    int run() {
        while (stopRequested == 0) {
            const double now = elapsedMs();
            if (options_.timeoutS > 0 && now >= options_.timeoutS * 1000) {
                return options_.exitAfterReboot ? EXIT_NO_PROMPT : 0;
            }
            if (options_.pace) {
                pty_.holdProgramOutput(now < line_.releaseMs(TRANSMIT_FIFO_BYTES));
            }
            unit_.advance(now);
            sendDue(now);
            saveFinishedImages();
            if (unit_.hungUp()) {
                std::fprintf(stderr, "unit-simulator: hangs up\n");
                pty_.close();
                return 0;
            }
            if (options_.exitAfterReboot && promptTakenIn(now)) {
                return 0;
            }
            waitAndTakeInput(now);
        }
        return 0;
    }

    void saveAll() {
        saveFinishedImages();
        while (savedCount_ < unit_.images().size()) {
            saveNextImage();  // unfinished: what arrived before the end
        }
        if (!options_.saveDir.empty()) {
            std::ofstream(options_.saveDir + "/log.txt") << unit_.log();
        }
    }

  private:
    using Clock = std::chrono::steady_clock;

    double elapsedMs() const {
        return std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    }

    void sendDue(double now) {
        const size_t before = pending_.size();
        unit_.deliver(now, pty_.programBaud(), pending_);
        if (before == 0 && !pending_.empty()) {
            blockedSinceMs_ = now;
        }
        while (!pending_.empty()) {
            const ssize_t n = write(pty_.master(), pending_.data(), pending_.size());
            if (n <= 0) {
                break;
            }
            pending_.erase(pending_.begin(), pending_.begin() + n);
            blockedSinceMs_ = now;
        }
        if (!pending_.empty() && now - blockedSinceMs_ > STUCK_OUTPUT_MS) {
            pending_.clear();  // nobody reads the line: the bytes are lost
        }
    }

    bool promptTakenIn(double now) const {
        const double sentMs = unit_.promptSentMs();
        return sentMs <= now && pending_.empty() &&
               (pty_.unread() == 0 || now - sentMs > DRAIN_GRACE_MS);
    }

    double waitMs(double now) const {
        if (!pending_.empty()) {
            return 1;
        }
        double untilNext = unit_.nextArrivalMs() - now;
        const double untilRelease = line_.releaseMs(TRANSMIT_FIFO_BYTES) - now;
        if (options_.pace && untilRelease > 0) {
            untilNext = std::min(untilNext, untilRelease);
        }
        return std::clamp(untilNext, 1.0, MAX_POLL_MS);
    }

    void waitAndTakeInput(double now) {
        pollfd fd{pty_.master(), POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(std::ceil(waitMs(now)))) <= 0) {
            return;
        }
        if ((fd.revents & POLLIN) == 0) {
            usleep(10000);  // no peer on the slave side for the moment
            return;
        }
        uint8_t buffer[65536];
        const ssize_t n = read(pty_.master(), buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        const double takenMs = elapsedMs();
        if (!anyTaken_) {
            anyTaken_ = true;
            unit_.note(takenMs, "first bytes from the program: " + std::to_string(n));
        }
        const uint32_t baud = pty_.programBaud();
        if (options_.pace) {
            pty_.holdProgramOutput(true);  // at once: the program may be writing on
            noteOnLine(takenMs, static_cast<size_t>(n),
                       line_.take(takenMs, static_cast<size_t>(n), baud));
            pty_.holdProgramOutput(takenMs < line_.releaseMs(TRANSMIT_FIFO_BYTES));
        }
        unit_.receive(takenMs, buffer, static_cast<size_t>(n), baud);
    }

    void noteOnLine(double takenMs, size_t n, PacedLine::Burst burst) {
        char times[96];
        std::snprintf(times, sizeof times, " bytes taken, on the line from %.3f to %.3f ms",
                      burst.startMs, burst.endMs);
        unit_.note(takenMs, "line: " + std::to_string(n) + times);
    }

    void saveFinishedImages() {
        while (savedCount_ < unit_.images().size() && unit_.images()[savedCount_].finished) {
            saveNextImage();
        }
    }

    void saveNextImage() {
        const size_t index = savedCount_++;
        if (options_.saveDir.empty()) {
            return;
        }
        const auto& bytes = unit_.images()[index].bytes;
        const std::string path = options_.saveDir + "/image-" + std::to_string(index + 1) + ".bin";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        std::ofstream(options_.saveDir + "/log.txt") << unit_.log();
    }

    const Options& options_;
    Pty& pty_;
    UnitModel unit_;
    Clock::time_point start_;
    std::vector<uint8_t> pending_;
    double blockedSinceMs_ = 0;
    size_t savedCount_ = 0;
    PacedLine line_;
    bool anyTaken_ = false;
};

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const std::optional<int> status = parseOptions(argc, argv, options)) {
        return *status;
    }
    installSignalHandlers();
    Pty pty;
    if (!pty.open(options.config.consoleBaud)) {
        std::fprintf(stderr, "unit-simulator: no pseudo-terminal: %s\n", std::strerror(errno));
        return EXIT_USAGE;
    }
    Links links(pty.slavePath());
    if (!links.make(options.links)) {
        return EXIT_USAGE;
    }
    std::printf("unit-simulator: %s\n", pty.slavePath().c_str());
    std::fflush(stdout);
    Server server(options, pty);
    const int status = server.run();
    server.saveAll();
    return status;
}
