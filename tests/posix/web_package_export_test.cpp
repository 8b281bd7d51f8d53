// The web package export as a run sees it: its console, its key prompt (which reads stdin here,
// so stdin is at end of input and the prompt never waits), its exit status, and failures that
// POSIX lets a test stage: a full disk and a working directory that is gone.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include "../unit/web_package_fixture.h"

namespace {

using namespace webpkg;

class WebPackageExportTest : public WorkingDirectoryTest {
  protected:
    void SetUp() override {
        WorkingDirectoryTest::SetUp();
        savedStdin_ = dup(STDIN_FILENO);
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        close(devNull);
    }
    void TearDown() override {
        dup2(savedStdin_, STDIN_FILENO);
        close(savedStdin_);
        WorkingDirectoryTest::TearDown();
    }

    int savedStdin_ = -1;
};

TEST_F(WebPackageExportTest, ControllerImageConsoleAndPrompt) {
    ASSERT_EQ(allocateStartupBuffers(), TRUE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(createFirmwareFileForWeb(), TRUE);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(gDataConcatenatedLenght, 123960);
    EXPECT_EQ(gDataConcatenatedCheckSum, 4278459187u);
    const std::vector<uint8_t> image(gDataConcatenated, gDataConcatenated + 123960);
    releaseStartupBuffers();

    EXPECT_EQ(console,
              "\r\n Firmware data is valid !\r\n"
              "\r\n Firmware CheckSum = 4278459187 !\r\n"
              "\r\n Firmware CheckSum u = 4278459187 !\r\n"
              "\r\n Firmware data length = 123960 !\r\n"
              "\r\nPress any key to exit");
    EXPECT_EQ(fs::file_size(kPackage), 165679u);
    expectPackageOf(image);
    EXPECT_EQ(entries(), packageOnly());
}

TEST_F(WebPackageExportTest, EntryPointStatusAndLastPrompt) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(BrivantaFwWebPackage_main(), 0);
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(fs::file_size(kPackage), 165679u);
    EXPECT_TRUE(console.ends_with("length = 123960 !\r\n\r\nPress any key to exit")) << console;
    EXPECT_EQ(gHexFirmware, nullptr);  // buffers released

    fs::remove(kPackage);
    fs::create_directory(kPackage);
    testing::internal::CaptureStdout();
    EXPECT_EQ(BrivantaFwWebPackage_main(), 1);
    console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(console.ends_with(std::string(kWriteFailed) +
                                  "\r\nERROR: The web package FwToUpload.bin was not created.\r\n"
                                  "\r\nPress any key to exit"))
        << console;
    EXPECT_EQ(entries(), packageOnly());
}

TEST_F(WebPackageExportTest, WorkingDirectoryGone) {
    fs::remove(dir_);
    testing::internal::CaptureStdout();
    EXPECT_EQ(writePackageOf(fixtureImage(1000)), FALSE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("ERROR: File does not exists\n") + kWriteFailed);
}

// The file size limit stands in for a full disk: the body stops part way.
TEST_F(WebPackageExportTest, DiskFullKeepsTheOldPackage) {
    putOldPackage();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    testing::internal::CaptureStdout();
    const BOOL written = writePackageOf(fixtureImage(200000));
    const std::string console = testing::internal::GetCapturedStdout();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(written, FALSE);
    EXPECT_EQ(console, kWriteFailed);
    EXPECT_EQ(contents(kPackage), kOldPackage);
    EXPECT_EQ(entries(), packageOnly());
}

}  // namespace
