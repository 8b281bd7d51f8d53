// Pseudo-terminals posing as COM ports: a link BRIVANTA_COM_DIR/COMn to the terminal side, the
// controlling side kept by the test to play the unit.
#ifndef BRIVANTA_TESTS_PTY_FIXTURE_H
#define BRIVANTA_TESTS_PTY_FIXTURE_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace ptytest {

class PseudoTerminal {
  public:
    PseudoTerminal() {
        int terminal = -1;
        char name[256] = {};
        if (openpty(&unitSide_, &terminal, name, nullptr, nullptr) == 0) {
            terminalPath_ = name;
            close(terminal);  // the program under test opens it by name
        }
    }
    ~PseudoTerminal() { hangUp(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return unitSide_ >= 0; }
    int unitSide() const { return unitSide_; }
    const std::string& terminalPath() const { return terminalPath_; }

    void send(const std::string& bytes) const {
        ssize_t ignored = write(unitSide_, bytes.data(), bytes.size());
        (void)ignored;
    }
    // Everything the program sent, reading until `count` bytes or a second without any.
    std::string receive(size_t count) const {
        std::string got;
        char chunk[4096];
        while (got.size() < count && waitReadable(1000)) {
            const ssize_t n = read(unitSide_, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }
    // On Linux the controlling side reports the terminal side's termios.
    std::optional<termios> lineSettings() const {
        termios tio{};
        if (tcgetattr(unitSide_, &tio) != 0) {
            return std::nullopt;
        }
        return tio;
    }
    void hangUp() {
        if (unitSide_ >= 0) {
            close(unitSide_);
            unitSide_ = -1;
        }
    }

  private:
    bool waitReadable(int timeoutMs) const {
        pollfd pfd{unitSide_, POLLIN, 0};
        return poll(&pfd, 1, timeoutMs) > 0 && (pfd.revents & POLLIN) != 0;
    }

    int unitSide_ = -1;
    std::string terminalPath_;
};

// A temporary BRIVANTA_COM_DIR for the lifetime of the object.
class ComDirectory {
  public:
    ComDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "brivanta-com-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            dir_ = pattern;
        }
        const char* before = std::getenv("BRIVANTA_COM_DIR");
        if (before != nullptr) {
            saved_ = before;
        }
        setenv("BRIVANTA_COM_DIR", dir_.c_str(), 1);
    }
    ~ComDirectory() {
        if (saved_) {
            setenv("BRIVANTA_COM_DIR", saved_->c_str(), 1);
        } else {
            unsetenv("BRIVANTA_COM_DIR");
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    ComDirectory(const ComDirectory&) = delete;
    ComDirectory& operator=(const ComDirectory&) = delete;

    const std::filesystem::path& path() const { return dir_; }
    void link(int comNumber, const std::string& target) const {
        std::error_code ignored;
        std::filesystem::create_symlink(target, dir_ / ("COM" + std::to_string(comNumber)),
                                        ignored);
    }

  private:
    std::filesystem::path dir_;
    std::optional<std::string> saved_;
};

inline std::string portName(int comNumber) {
    return "\\\\.\\COM" + std::to_string(comNumber);
}

inline HANDLE openPort(int comNumber) {
    return CreateFileA(portName(comNumber).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_SYSTEM, nullptr);
}

inline double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace ptytest

#endif  // BRIVANTA_TESTS_PTY_FIXTURE_H
