// The serial port module on the POSIX platform: staged settings reach a real terminal, and port
// numbers whose name does not fit are refused.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "ComPortAPI.h"
#include "pty_fixture.h"

namespace {

using namespace ptytest;

class ComPortOnPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ComPortAPI_RestoreDefaults();
        ASSERT_TRUE(pty.ok());
        comDir.link(3, pty.terminalPath());
    }
    void TearDown() override {
        ComPortAPI_CloseCOM();
        ComPortAPI_RestoreDefaults();
    }
    speed_t lineSpeed() const {
        const std::optional<termios> tio = pty.lineSettings();
        return tio ? cfgetospeed(&*tio) : static_cast<speed_t>(-1);
    }
    bool lineHasCtsFlow() const {
        const std::optional<termios> tio = pty.lineSettings();
        return tio && (tio->c_cflag & CRTSCTS) != 0;
    }

    ComDirectory comDir;
    PseudoTerminal pty;
};

TEST_F(ComPortOnPty, SettingsStagedWhileClosedAreAppliedByTheNextOpen) {
    EXPECT_FALSE(ComPortAPI_SetBaudRate(57600));
    EXPECT_FALSE(ComPortAPI_SetHardwareFlowControl(FALSE));
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    EXPECT_EQ(lineSpeed(), static_cast<speed_t>(B57600));
    EXPECT_FALSE(lineHasCtsFlow());

    EXPECT_TRUE(ComPortAPI_SetBaudRate(115200));
    EXPECT_TRUE(ComPortAPI_SetHardwareFlowControl(TRUE));
    EXPECT_EQ(lineSpeed(), static_cast<speed_t>(B115200));
    EXPECT_TRUE(lineHasCtsFlow());
}

TEST_F(ComPortOnPty, ReadAndWriteCarryBytesBothWays) {
    EXPECT_FALSE(ComPortAPI_SetReadingTimeoutInMs(100));  // staged, no port yet
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    int count = -1;
    EXPECT_TRUE(ComPortAPI_WriteCOM("#GetVer\n\r", 9, &count));
    EXPECT_EQ(count, 9);
    EXPECT_EQ(pty.receive(9), "#GetVer\n\r");

    pty.send(std::string("V\0>>", 4));
    char reply[64];
    EXPECT_TRUE(ComPortAPI_ReadCOM(reply, sizeof reply, &count));
    ASSERT_EQ(count, 4);
    EXPECT_EQ(std::string(reply, 4), std::string("V\0>>", 4));
}

TEST_F(ComPortOnPty, NegativeCountsFailWithoutReachingThePort) {
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    char buffer[4];
    int count = -1;
    EXPECT_FALSE(ComPortAPI_ReadCOM(buffer, -1, &count));
    EXPECT_EQ(count, 0);
    count = -1;
    EXPECT_FALSE(ComPortAPI_WriteCOM(buffer, INT_MIN, &count));
    EXPECT_EQ(count, 0);
}

TEST_F(ComPortOnPty, PortHeldByAnotherOpenCannotBeOpened) {
    ASSERT_TRUE(ComPortAPI_OpenCOM(3));
    HANDLE first = g_hCOM;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ComPortAPI_OpenCOM(3));
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Opening COM3 failed !");
    EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);
    CloseHandle(first);
}

struct NameCase {
    int nId;
    bool fits;
    const char* name;
};

TEST(PortName, NamesThatDoNotFitSixteenCharactersAreRefused) {
    const NameCase cases[] = {
        {1, true, "\\\\.\\COM1"},
        {99999999, true, "\\\\.\\COM99999999"},
        {-9999999, true, "\\\\.\\COM-9999999"},
        {100000000, false, ""},
        {-10000000, false, ""},
        {INT_MAX, false, ""},
        {INT_MIN, false, ""},
    };
    for (const NameCase& c : cases) {
        char name[16 + 8];
        std::memset(name, 'Z', sizeof name);
        EXPECT_EQ(ComPortAPI_FormatPortName(name, 16, c.nId), c.fits ? TRUE : FALSE) << c.nId;
        EXPECT_STREQ(name, c.name) << c.nId;
        for (size_t i = 16; i < sizeof name; ++i) {
            EXPECT_EQ(name[i], 'Z') << "written past the buffer for " << c.nId;
        }
    }
}

TEST(PortName, OversizedPortNumberIsAFailedOpen) {
    ComPortAPI_RestoreDefaults();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ComPortAPI_OpenCOM(123456789));
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Opening COM123456789 failed !");
    EXPECT_EQ(g_hCOM, INVALID_HANDLE_VALUE);
    ComPortAPI_RestoreDefaults();
}

}  // namespace
