// The unit-simulator executable on its pseudo-terminal, driven in real time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// One unit-simulator process; stopped with SIGTERM if still running at the end.
class Simulator {
  public:
    explicit Simulator(std::vector<std::string> args) {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv{const_cast<char*>(UNIT_SIMULATOR_PATH)};
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(UNIT_SIMULATOR_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') {
            line += c;
        }
        close(out[0]);
        const std::string tag = "unit-simulator: ";
        EXPECT_EQ(line.rfind(tag, 0), 0u) << line;
        ptyPath = line.substr(std::min(tag.size(), line.size()));
    }
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    void stop() { kill(pid_, SIGTERM); }
    int exitStatus() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string ptyPath;

  private:
    pid_t pid_ = -1;
};

// The program's end of the line, raw, at a chosen rate.
class Port {
  public:
    explicit Port(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        EXPECT_GE(fd_, 0) << path;
    }
    ~Port() { close(fd_); }

    void setRate(speed_t speed) {
        termios settings{};
        tcgetattr(fd_, &settings);
        cfmakeraw(&settings);
        cfsetispeed(&settings, speed);
        cfsetospeed(&settings, speed);
        tcsetattr(fd_, TCSANOW, &settings);
    }
    void send(const std::string& bytes) { send(std::vector<char>(bytes.begin(), bytes.end())); }
    void send(const std::vector<char>& bytes) {
        EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything that arrives within the window.
    std::string read(int windowMs) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(windowMs);
        for (auto now = std::chrono::steady_clock::now(); now < end;
             now = std::chrono::steady_clock::now()) {
            pollfd fd{fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
            char buffer[4096];
            if (poll(&fd, 1, static_cast<int>(left.count())) > 0 && (fd.revents & POLLIN) != 0) {
                const ssize_t n = ::read(fd_, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                got.append(buffer, static_cast<size_t>(n));
            }
        }
        return got;
    }

  private:
    int fd_;
};

class UnitSimulator : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("unit_simulator_test_" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

TEST_F(UnitSimulator, AnswersAtItsRateThroughTheLinkAndRemovesItOnSigterm) {
    const fs::path link = dir / "COM1";
    Simulator simulator({"--baud", "9600", "--link", link.string(), "--timeout-s", "30"});
    ASSERT_TRUE(fs::is_symlink(link));
    {
        Port port(link.string());
        port.setRate(B115200);
        port.send("%%%fw -p\n\r");
        EXPECT_EQ(port.read(300), "") << "a command at the wrong rate is noise";
        port.setRate(B9600);
        port.send("%%%fw -p\n\r");
        EXPECT_EQ(port.read(300), "Quorvi 6G SDI EXTENDER TX WITH ETHERNET\r\n>>");
    }
    simulator.stop();
    EXPECT_EQ(simulator.exitStatus(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST_F(UnitSimulator, TakesBothImagesSavesThemAndExitsAfterThePrompt) {
    Simulator simulator({"--kind", "rx", "--boot-ms", "1500", "--ready-delay-ms", "20",
                         "--success-delay-ms", "20", "--save-dir", dir.string(),
                         "--exit-after-reboot", "--timeout-s", "30"});
    Port port(simulator.ptyPath);
    port.setRate(B115200);
    std::vector<std::vector<char>> images;
    for (const char kind : {'l', 'h'}) {
        std::vector<char> image(kind == 'l' ? 30000 : 7000);
        std::iota(image.begin(), image.end(), static_cast<char>(kind));
        const uint32_t sum =
            std::accumulate(image.begin(), image.end(), 0u,
                            [](uint32_t s, char c) { return s + static_cast<unsigned char>(c); });
        port.send(std::string("%%%fw -") + kind + " " + std::to_string(0u - sum) + " " +
                  std::to_string(image.size()) + "\n\r");
        EXPECT_EQ(port.read(300), "Ready");
        port.send(image);
        EXPECT_EQ(port.read(500), "SUCCESS");
        images.push_back(image);
    }
    EXPECT_EQ(port.read(2000), "[RX]>>");
    EXPECT_EQ(simulator.exitStatus(), 0);
    for (size_t i = 0; i < images.size(); ++i) {
        std::ifstream saved(dir / ("image-" + std::to_string(i + 1) + ".bin"), std::ios::binary);
        EXPECT_EQ(std::vector<char>(std::istreambuf_iterator<char>(saved), {}), images[i]);
    }
    EXPECT_TRUE(fs::exists(dir / "log.txt"));
}

// The bursts the log shows on the line: (start, end) in ms, in order.
std::vector<std::pair<double, double>> lineBursts(const fs::path& log) {
    std::vector<std::pair<double, double>> bursts;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        double start = 0;
        double end = 0;
        const size_t at = line.find("on the line from ");
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at, "on the line from %lf to %lf", &start, &end) == 2) {
            bursts.emplace_back(start, end);
        }
    }
    return bursts;
}

TEST_F(UnitSimulator, PacedLineHoldsTheProgramsWritesToTheLineRate) {
    Simulator simulator({"--pace", "--ready-delay-ms", "20", "--success-delay-ms", "20",
                         "--save-dir", dir.string(), "--timeout-s", "30"});
    Port port(simulator.ptyPath);
    port.setRate(B115200);
    const std::vector<char> image(34560, 'U');  // 3 s at 11520 bytes/s
    port.send("%%%fw -l " + std::to_string(0u - 0x55u * 34560u) + " 34560\n\r");
    ASSERT_EQ(port.read(300), "Ready");
    const auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at < image.size(); at += 10240) {
        const auto piece = std::min<size_t>(10240, image.size() - at);
        port.send(std::vector<char>(image.begin() + static_cast<long>(at),
                                    image.begin() + static_cast<long>(at + piece)));
    }
    const std::chrono::duration<double> writing = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(port.read(300), "SUCCESS") << "the unit answers as the last write returns";
    // The pty lets the program write one kernel buffer (some 10 KiB) ahead of the line.
    EXPECT_GT(writing.count(), 1.5) << "the writes are held to the line's pace";
    simulator.stop();
    EXPECT_EQ(simulator.exitStatus(), 0);
    const auto bursts = lineBursts(dir / "log.txt");
    ASSERT_GE(bursts.size(), 2u);
    const double imageMs = bursts.back().second - bursts[1].first;  // bursts[0]: the command
    EXPECT_NEAR(imageMs, 3000, 30) << "image bytes back to back at 11520 bytes/s";
}

TEST(UnitSimulatorOptions, RefusesWhatItDoesNotKnow) {
    for (const char* bad : {"--fault no-such-fault", "--kind tv", "--baud x", "--bogus"}) {
        const std::string command = std::string(UNIT_SIMULATOR_PATH) + " " + bad + " 2>/dev/null";
        const int status = std::system(command.c_str());
        EXPECT_EQ(WEXITSTATUS(status), 2) << bad;
    }
}

}  // namespace
