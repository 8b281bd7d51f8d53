// The web package: header, 928-character body lines, the pad turned into "A", a body that decodes
// back to the image, and no broken package (nor temporary file) when anything fails.
// The export's console, its key prompt and the failures that need POSIX to stage are in
// tests/posix/web_package_export_test.cpp.
#include "web_package_fixture.h"

namespace {

using namespace webpkg;

using WebPackageTest = WorkingDirectoryTest;

TEST_F(WebPackageTest, ControllerImagePackageReplacesTheOldOne) {
    std::ofstream(kPackage, std::ios::binary) << std::string(200000, 'x');
    ASSERT_EQ(allocateStartupBuffers(), TRUE);
    ASSERT_EQ(ValidateFwAndConcatenateData(gHexFirmware), TRUE);
    const int length = gDataConcatenatedLenght;
    const std::vector<uint8_t> image(gDataConcatenated, gDataConcatenated + length);
    releaseStartupBuffers();
    ASSERT_EQ(length, 123960);
    ASSERT_EQ(writePackageOf(image), TRUE);

    EXPECT_EQ(fs::file_size(kPackage), 165679u);
    const Package package = readPackage();
    EXPECT_EQ(package.header, headerOf(4278459187u, 123960));
    std::vector<size_t> lengths(178, kLine);
    lengths.push_back(96);
    EXPECT_EQ(bodyLineLengths(package.body), lengths);
    EXPECT_EQ(decodeBody(package.body), image);
    EXPECT_EQ(entries(), packageOnly());
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
        EXPECT_EQ(entries(), packageOnly());
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
        putOldPackage();
        testing::internal::CaptureStdout();
        EXPECT_EQ(writePackageOf(fixtureImage(c.length)), FALSE);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        EXPECT_EQ(contents(kPackage), kOldPackage);
        EXPECT_EQ(entries(), packageOnly());
    }
}

TEST_F(WebPackageTest, PackageNameTakenByADirectory) {
    fs::create_directory(kPackage);
    testing::internal::CaptureStdout();
    EXPECT_EQ(writePackageOf(fixtureImage(1000)), FALSE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kWriteFailed);
    EXPECT_TRUE(fs::is_directory(kPackage));
    EXPECT_EQ(entries(), packageOnly());
}

TEST_F(WebPackageTest, TemporaryNameTakenByADirectory) {
    const std::string temporary = std::string(kPackage) + ".tmp";
    fs::create_directory(temporary);
    putOldPackage();
    testing::internal::CaptureStdout();
    EXPECT_EQ(writePackageOf(fixtureImage(1000)), FALSE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("ERROR: File does not exists\n") + kWriteFailed);
    EXPECT_EQ(contents(kPackage), kOldPackage);
    EXPECT_TRUE(fs::is_directory(temporary));  // not ours to remove
}

}  // namespace
