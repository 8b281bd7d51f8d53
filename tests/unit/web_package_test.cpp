// The web package: header, 928-character body lines, the pad turned into "A", a body that decodes
// back to the image, and no broken package (nor temporary file) when anything fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BrivantaFwUpgrade.h"
#include "Encoder.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kLine = FIRMWARE_CHUNCK_SIZE_FOR_WEB;
const char* const kPackage = WEB_PACKAGE_FILE_NAME;
const char* const kOldPackage = "an older package";

struct Package {
    std::vector<std::string> header;
    std::string body;
};

std::string contents(const char* file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Package readPackage() {
    const std::string text = contents(kPackage);
    Package package;
    size_t start = 0;
    for (int line = 0; line < 5; ++line) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) break;
        package.header.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    package.body = text.substr(start);
    return package;
}

// Every line but the last is 928 characters and "\r\n"; the last has no line end.
std::vector<size_t> bodyLineLengths(const std::string& body) {
    std::vector<size_t> lengths;
    size_t start = 0;
    for (size_t end; (end = body.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lengths.push_back(end - start);
    }
    lengths.push_back(body.size() - start);
    return lengths;
}

std::vector<uint8_t> decodeBody(const std::string& body) {
    std::vector<uint8_t> bytes(body.size());
    int length = static_cast<int>(bytes.size());
    EXPECT_EQ(base64_decode(bytes.data(), length, reinterpret_cast<const uint8_t*>(body.data()),
                            static_cast<int>(body.size())),
              0);
    bytes.resize(static_cast<size_t>(length));
    return bytes;
}

// The whole package of `image`: header, line layout, pad replacement and the decoded body.
void expectPackageOf(const std::vector<uint8_t>& image) {
    const size_t n = image.size();
    const Package package = readPackage();
    const std::vector<std::string> header = {
        "QuorVi", "614829", "1.0.0",
        std::to_string(imageChecksum(image.data(), static_cast<int>(n))), std::to_string(n)};
    EXPECT_EQ(package.header, header);

    const size_t textLength = (n + 2) / 3 * 4;
    const size_t lines = (textLength + kLine - 1) / kLine;
    std::vector<size_t> lengths(lines, kLine);
    lengths.back() = textLength - (lines - 1) * kLine;
    EXPECT_EQ(bodyLineLengths(package.body), lengths);
    EXPECT_EQ(package.body.find('='), std::string::npos);

    const size_t pads = (3 - n % 3) % 3;
    EXPECT_EQ(package.body.substr(package.body.size() - pads), std::string(pads, 'A'));
    std::vector<uint8_t> expected = image;
    expected.resize(n + pads, 0);
    EXPECT_EQ(decodeBody(package.body), expected);
}

std::vector<uint8_t> fixtureImage(size_t length) {
    std::vector<uint8_t> image(length);
    uint32_t state = 12345;
    for (auto& byte : image) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return image;
}

BOOL writePackageOf(const std::vector<uint8_t>& image) {
    return writeWebPackage(image.data(), static_cast<int>(image.size()),
                           imageChecksum(image.data(), static_cast<int>(image.size())));
}

// Runs each test in an empty working directory, with stdin at end of input so that the key
// prompt never waits.
class WebPackageTest : public testing::Test {
  protected:
    void SetUp() override {
        oldDir_ = fs::current_path();
        dir_ = fs::temp_directory_path() /
               (std::string("web_package_test_") + std::to_string(getpid()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
        savedStdin_ = dup(STDIN_FILENO);
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        close(devNull);
    }
    void TearDown() override {
        dup2(savedStdin_, STDIN_FILENO);
        close(savedStdin_);
        fs::current_path(oldDir_);
        fs::remove_all(dir_);
    }

    // Nothing but the expected entries in the working directory: no temporary file is left.
    static std::vector<std::string> entries() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(".")) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    fs::path oldDir_;
    fs::path dir_;
    int savedStdin_ = -1;
};

TEST_F(WebPackageTest, ControllerImagePackage) {
    std::ofstream(kPackage, std::ios::binary) << std::string(200000, 'x');  // replaced, not kept
    ASSERT_EQ(allocateStartupBuffers(), TRUE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(createFirmwareFileForWeb(), TRUE);
    const std::string console = testing::internal::GetCapturedStdout();

    EXPECT_EQ(console,
              "\r\n Firmware data is valid !\r\n"
              "\r\n Firmware CheckSum = 4278459187 !\r\n"
              "\r\n Firmware CheckSum u = 4278459187 !\r\n"
              "\r\n Firmware data length = 123960 !\r\n"
              "\r\nPress any key to exit");
    EXPECT_EQ(gDataConcatenatedLenght, 123960);
    EXPECT_EQ(gDataConcatenatedCheckSum, 4278459187u);
    EXPECT_EQ(fs::file_size(kPackage), 165679u);
    const Package package = readPackage();
    EXPECT_EQ(package.header,
              (std::vector<std::string>{"QuorVi", "614829", "1.0.0", "4278459187", "123960"}));
    std::vector<size_t> lengths(178, kLine);
    lengths.push_back(96);
    EXPECT_EQ(bodyLineLengths(package.body), lengths);
    EXPECT_EQ(decodeBody(package.body),
              std::vector<uint8_t>(gDataConcatenated, gDataConcatenated + 123960));
    releaseStartupBuffers();
    EXPECT_EQ(entries(), std::vector<std::string>{kPackage});
}

TEST_F(WebPackageTest, InvalidFirmwareTouchesNoFileAndDoesNotWait) {
    ASSERT_EQ(allocateStartupBuffers(), TRUE);
    gHexFirmware[9] = '9';  // ":0200000490007A": the first record's checksum no longer holds
    testing::internal::CaptureStdout();
    EXPECT_EQ(createFirmwareFileForWeb(), FALSE);
    const std::string console = testing::internal::GetCapturedStdout();
    releaseStartupBuffers();
    EXPECT_TRUE(console.ends_with("\r\nERROR: Firmware data is not valid !\r\n")) << console;
    EXPECT_EQ(console.find("Press any key"), std::string::npos);
    EXPECT_TRUE(entries().empty());
}

TEST_F(WebPackageTest, FixtureImagesLinesAndPads) {
    // 696: one full line without a line end; 697: a line and "AA"; 1392: two full lines;
    // 460797: the largest image whose text fits.
    for (size_t length : {1u, 2u, 3u, 4u, 5u, 696u, 697u, 698u, 1392u, 1393u, 460797u}) {
        SCOPED_TRACE(length);
        const std::vector<uint8_t> image = fixtureImage(length);
        testing::internal::CaptureStdout();
        ASSERT_EQ(writePackageOf(image), TRUE);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        expectPackageOf(image);
        EXPECT_EQ(entries(), std::vector<std::string>{kPackage});
    }
}

TEST_F(WebPackageTest, ImagesWithoutAPackageLeaveTheOldOne) {
    struct Case {
        size_t length;
        const char* message;
    };
    const Case cases[] = {
        {0, "\r\nERROR: The firmware image is empty !\r\n"},
        {460798,
         "\r\n ERROR BASE 64 !\r\n"
         "\r\nERROR: The firmware image is larger than 460797 bytes !\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::ofstream(kPackage, std::ios::binary) << kOldPackage;
        const std::vector<uint8_t> image = fixtureImage(c.length);
        testing::internal::CaptureStdout();
        EXPECT_EQ(writePackageOf(image), FALSE);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        EXPECT_EQ(contents(kPackage), kOldPackage);
        EXPECT_EQ(entries(), std::vector<std::string>{kPackage});
    }
}

const char* const kWriteFailed = "\r\nERROR: Cannot write the web package FwToUpload.bin !\r\n";

TEST_F(WebPackageTest, PackageNameTakenByADirectory) {
    fs::create_directory(kPackage);
    testing::internal::CaptureStdout();
    EXPECT_EQ(writePackageOf(fixtureImage(1000)), FALSE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kWriteFailed);
    EXPECT_TRUE(fs::is_directory(kPackage));
    EXPECT_EQ(entries(), std::vector<std::string>{kPackage});
}

TEST_F(WebPackageTest, TemporaryNameTakenByADirectory) {
    const std::string temporary = std::string(kPackage) + ".tmp";
    fs::create_directory(temporary);
    std::ofstream(kPackage, std::ios::binary) << kOldPackage;
    testing::internal::CaptureStdout();
    EXPECT_EQ(writePackageOf(fixtureImage(1000)), FALSE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("ERROR: File does not exists\n") + kWriteFailed);
    EXPECT_EQ(contents(kPackage), kOldPackage);
    EXPECT_TRUE(fs::is_directory(temporary));  // not ours to remove
}

TEST_F(WebPackageTest, WorkingDirectoryGone) {
    fs::remove(dir_);
    testing::internal::CaptureStdout();
    EXPECT_EQ(writePackageOf(fixtureImage(1000)), FALSE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("ERROR: File does not exists\n") + kWriteFailed);
}

// The file size limit stands in for a full disk: the body stops part way.
TEST_F(WebPackageTest, DiskFullKeepsTheOldPackage) {
    std::ofstream(kPackage, std::ios::binary) << kOldPackage;
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
    EXPECT_EQ(entries(), std::vector<std::string>{kPackage});
}

TEST_F(WebPackageTest, EntryPointStatusAndLastPrompt) {
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
    EXPECT_EQ(entries(), std::vector<std::string>{kPackage});
}

}  // namespace
