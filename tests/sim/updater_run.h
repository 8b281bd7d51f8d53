// Runs the updater's whole entry point in-process on the simulated platform, with the operator's
// typing on standard input and the console captured.
#ifndef BRIVANTA_UPDATER_RUN_H
#define BRIVANTA_UPDATER_RUN_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BrivantaFwUpgrade.h"
#include "ComPortAPI.h"
#include "sim_platform.h"

struct UpdaterRun {
    int status;
    std::string console;
};

// Standard input reads `text` for the duration of one run, then reads nothing. The stream is
// reopened each time, so nothing one run left in its buffer reaches the next.
class OperatorInput {
  public:
    explicit OperatorInput(const std::string& text) {
        char path[] = "/tmp/brivanta-input-XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            abort();
        }
        close(fd);
        if (freopen(path, "r", stdin) == nullptr) abort();
        unlink(path);
    }
    ~OperatorInput() {
        if (freopen("/dev/null", "r", stdin) == nullptr) abort();
    }
    OperatorInput(const OperatorInput&) = delete;
    OperatorInput& operator=(const OperatorInput&) = delete;
};

inline UpdaterRun runUpdater(const std::string& operatorInput = "") {
    OperatorInput input(operatorInput);
    testing::internal::CaptureStdout();
    const int status = BrivantaFwUpgrade_main();
    return {status, testing::internal::GetCapturedStdout()};
}

// Each test starts on a machine with no ports, the clock at 0 and the port settings as at start.
class SimulatedMachine : public testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        ComPortAPI_RestoreDefaults();
    }
};

#endif  // BRIVANTA_UPDATER_RUN_H
