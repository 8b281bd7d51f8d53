// Reading and checking a web package, fixture images, and a fresh working directory per test.
// Shared by the portable tests (tests/unit) and the ones that need POSIX (tests/posix).
#ifndef WEB_PACKAGE_FIXTURE_H
#define WEB_PACKAGE_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "BrivantaFwUpgrade.h"
#include "Encoder.h"

namespace webpkg {

namespace fs = std::filesystem;

constexpr size_t kLine = FIRMWARE_CHUNCK_SIZE_FOR_WEB;
inline const char* const kPackage = WEB_PACKAGE_FILE_NAME;
inline const char* const kOldPackage = "an older package";
inline const char* const kWriteFailed =
    "\r\nERROR: Cannot write the web package FwToUpload.bin !\r\n";

struct Package {
    std::vector<std::string> header;
    std::string body;
};

inline std::string contents(const char* file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void putOldPackage() {
    std::ofstream(kPackage, std::ios::binary) << kOldPackage;
}

inline Package readPackage() {
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

// The lengths of the body's lines, split at "\r\n"; the last one is what follows the last "\r\n".
inline std::vector<size_t> bodyLineLengths(const std::string& body) {
    std::vector<size_t> lengths;
    size_t start = 0;
    for (size_t end; (end = body.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lengths.push_back(end - start);
    }
    lengths.push_back(body.size() - start);
    return lengths;
}

inline std::vector<uint8_t> decodeBody(const std::string& body) {
    std::vector<uint8_t> bytes(body.size());
    int length = static_cast<int>(bytes.size());
    EXPECT_EQ(base64_decode(bytes.data(), length, reinterpret_cast<const uint8_t*>(body.data()),
                            static_cast<int>(body.size())),
              0);
    bytes.resize(static_cast<size_t>(length));
    return bytes;
}

inline std::vector<std::string> headerOf(uint32_t checksum, size_t imageLength) {
    return {"QuorVi", "614829", "1.0.0", std::to_string(checksum), std::to_string(imageLength)};
}

// The package of `image` in the working directory: header, 928-character lines with "\r\n"
// except the last, the pad turned into "A", and a body that decodes back to the image.
inline void expectPackageOf(const std::vector<uint8_t>& image) {
    const size_t n = image.size();
    const Package package = readPackage();
    EXPECT_EQ(package.header, headerOf(imageChecksum(image.data(), static_cast<int>(n)), n));

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

inline std::vector<uint8_t> fixtureImage(size_t length) {
    std::vector<uint8_t> image(length);
    uint32_t state = 12345;
    for (auto& byte : image) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return image;
}

inline BOOL writePackageOf(const std::vector<uint8_t>& image) {
    const int length = static_cast<int>(image.size());
    return writeWebPackage(image.data(), length, imageChecksum(image.data(), length));
}

// Each test in an empty directory of its own, made the working directory for the test.
class WorkingDirectoryTest : public testing::Test {
  protected:
    void SetUp() override {
        oldDir_ = fs::current_path();
        dir_ = fs::temp_directory_path() /
               (std::string("web_package_") +
                testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(oldDir_);
        fs::remove_all(dir_);
    }

    // What the working directory holds: a temporary file left behind shows up here.
    static std::vector<std::string> entries() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(".")) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    static std::vector<std::string> packageOnly() { return {kPackage}; }

    fs::path oldDir_;
    fs::path dir_;
};

}  // namespace webpkg

#endif  // WEB_PACKAGE_FIXTURE_H
