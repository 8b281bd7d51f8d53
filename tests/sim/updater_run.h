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

// Standard input reads `text` for the duration of one run.
class OperatorInput {
public:
    explicit OperatorInput(const std::string& text) {
        char path[] = "/tmp/brivanta-input-XXXXXX";
        const int fd = mkstemp(path);
        unlink(path);
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
        lseek(fd, 0, SEEK_SET);
        saved_ = dup(STDIN_FILENO);
        dup2(fd, STDIN_FILENO);
        close(fd);
        clearerr(stdin);
        fseek(stdin, 0, SEEK_SET);  // drops whatever an earlier run left buffered
    }
    ~OperatorInput() {
        dup2(saved_, STDIN_FILENO);
        close(saved_);
        clearerr(stdin);
    }
    OperatorInput(const OperatorInput&) = delete;
    OperatorInput& operator=(const OperatorInput&) = delete;

private:
    int saved_;
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
