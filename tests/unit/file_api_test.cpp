// File access: modes, the one stored file, messages, and writes that do not reach the disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "FileAPI.h"

namespace {

namespace fs = std::filesystem;

const char* const OPEN_FAILED = "ERROR: File does not exists\n";
const char* const NOT_OPENED = "ERROR: File does not exists or Not opened !\n";

class FileApiTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               (std::string("file_api_") +
                testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const char* name) const { return (dir_ / name).string(); }

    static std::string contents(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void put(const std::string& file, const std::string& text) {
        std::ofstream(file, std::ios::binary) << text;
    }
    static BOOL writeText(const std::string& text) { return FileAPI_writeToFile(text.c_str()); }

    fs::path dir_;
};

TEST_F(FileApiTest, CreateEmptiesAppendKeepsAndCreates) {
    struct Case {
        BOOL (*open)(const char*, BOOL);
        bool exists;
        const char* expected;
    };
    const Case cases[] = {
        {FileAPI_CreateFile, true, "new"},
        {FileAPI_CreateFile, false, "new"},
        {FileAPI_OpenFile_ToWrite, true, "oldnew"},
        {FileAPI_OpenFile_ToWrite, false, "new"},
    };
    for (const auto& c : cases) {
        const std::string file = path("f.bin");
        fs::remove(file);
        if (c.exists) put(file, "old");
        ASSERT_EQ(c.open(file.c_str(), 1), TRUE);
        EXPECT_EQ(writeText("new"), TRUE);
        EXPECT_EQ(FileAPI_CloseFile(), TRUE);
        EXPECT_EQ(contents(file), c.expected);
    }
}

// Binary mode writes every byte unchanged; any flag but 1 is text mode, which on Windows turns
// "\n" into "\r\n" (and elsewhere changes nothing): 2 must give what 0 gives.
TEST_F(FileApiTest, BinaryModeWritesBytesUnchanged) {
    const std::string file = path("f.bin");
    auto writtenWith = [&](BOOL isBinary) {
        EXPECT_EQ(FileAPI_CreateFile(file.c_str(), isBinary), TRUE);
        const uint8_t bytes[] = {'\r', '\n', 0, 0xFF};
        EXPECT_EQ(FileAPI_writeToFileBinary(bytes, 4), TRUE);
        EXPECT_EQ(FileAPI_writeToFileBinary(bytes, 0), TRUE);
        EXPECT_EQ(FileAPI_writeToFileBinary(nullptr, 0), TRUE);
        EXPECT_EQ(writeText("%s%d%n\n"), TRUE);
        EXPECT_EQ(writeText(""), TRUE);
        EXPECT_EQ(FileAPI_CloseFile(), TRUE);
        return contents(file);
    };
    EXPECT_EQ(writtenWith(1), std::string("\r\n\0\xFF%s%d%n\n", 11));
    const std::string textMode = writtenWith(0);
    EXPECT_NE(textMode.find("%s%d%n"), std::string::npos);
    EXPECT_EQ(writtenWith(2), textMode);
}

TEST_F(FileApiTest, ReadOpenNeedsAnExistingFile) {
    const std::string file = path("r.bin");
    testing::internal::CaptureStdout();
    EXPECT_EQ(FileAPI_OpenFile_ToRead(file.c_str(), 1), FALSE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), OPEN_FAILED);
    put(file, "x");
    EXPECT_EQ(FileAPI_OpenFile_ToRead(file.c_str(), 0), TRUE);
    EXPECT_EQ(FileAPI_CloseFile(), TRUE);
}

TEST_F(FileApiTest, FailedOpenLeavesNoFileOpen) {
    const std::string inMissingDir = path("missing/f.bin");
    const std::string onDirectory = dir_.string();
    for (auto open : {FileAPI_CreateFile, FileAPI_OpenFile_ToWrite}) {
        for (const std::string& name : {inMissingDir, onDirectory}) {
            SCOPED_TRACE(name);
            testing::internal::CaptureStdout();
            EXPECT_EQ(open(name.c_str(), 1), FALSE);
            EXPECT_EQ(writeText("x"), FALSE);
            EXPECT_EQ(FileAPI_CloseFile(), FALSE);
            EXPECT_EQ(testing::internal::GetCapturedStdout(),
                      std::string(OPEN_FAILED) + NOT_OPENED + NOT_OPENED);
        }
    }
}

TEST_F(FileApiTest, WriteOrCloseAfterCloseReportsNotOpened) {
    ASSERT_EQ(FileAPI_CreateFile(path("f.bin").c_str(), 1), TRUE);
    ASSERT_EQ(FileAPI_CloseFile(), TRUE);
    const uint8_t byte = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(FileAPI_writeToFileBinary(&byte, 1), FALSE);
    EXPECT_EQ(writeText("%d"), FALSE);
    EXPECT_EQ(FileAPI_CloseFile(), FALSE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string(NOT_OPENED) + NOT_OPENED + NOT_OPENED);
    EXPECT_EQ(contents(path("f.bin")), "");
}

// /dev/full takes the open but refuses every byte: a write larger than the stream's buffer
// fails at once, a small one when the close flushes it.
TEST_F(FileApiTest, LostBytesAreReportedAsFailure) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::vector<uint8_t> large(1 << 20, 'x');
    ASSERT_EQ(FileAPI_CreateFile("/dev/full", 1), TRUE);
    EXPECT_EQ(FileAPI_writeToFileBinary(large.data(), static_cast<uint32_t>(large.size())), FALSE);
    EXPECT_EQ(FileAPI_CloseFile(), FALSE);

    ASSERT_EQ(FileAPI_CreateFile("/dev/full", 1), TRUE);
    EXPECT_EQ(writeText("small"), TRUE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(FileAPI_CloseFile(), FALSE);
    EXPECT_EQ(FileAPI_CloseFile(), FALSE);  // the failed close still left no file open
    EXPECT_EQ(testing::internal::GetCapturedStdout(), NOT_OPENED);
}

}  // namespace
