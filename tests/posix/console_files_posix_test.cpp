// The key read and the file replacement of the POSIX platform.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// Puts `fd` in the place of stdin (or closes stdin for -1) until destroyed.
class StdinReplaced {
  public:
    explicit StdinReplaced(int fd) : saved_(dup(STDIN_FILENO)) {
        if (fd >= 0) {
            dup2(fd, STDIN_FILENO);
        } else {
            close(STDIN_FILENO);
        }
    }
    ~StdinReplaced() {
        dup2(saved_, STDIN_FILENO);
        close(saved_);
    }
    StdinReplaced(const StdinReplaced&) = delete;
    StdinReplaced& operator=(const StdinReplaced&) = delete;

  private:
    int saved_;
};

std::vector<int> keysFromPipe(const std::string& input, size_t reads) {
    int ends[2];
    if (pipe(ends) != 0) {
        return {};
    }
    ssize_t ignored = write(ends[1], input.data(), input.size());
    (void)ignored;
    close(ends[1]);  // end of input after these bytes
    std::vector<int> keys;
    {
        StdinReplaced redirect(ends[0]);
        for (size_t i = 0; i < reads; ++i) {
            keys.push_back(_getch());
        }
    }
    close(ends[0]);
    return keys;
}

TEST(KeyRead, PipedInputGivesOneByteAtATimeThenEndOfInput) {
    EXPECT_EQ(keysFromPipe(std::string("q\0\xFF", 3), 5), (std::vector<int>{'q', 0, 0xFF, -1, -1}));
    EXPECT_EQ(keysFromPipe("", 1), (std::vector<int>{-1}));
}

TEST(KeyRead, ClosedOrEmptyStdinReturnsAtOnce) {
    {
        StdinReplaced closed(-1);
        EXPECT_EQ(_getch(), -1);
    }
    const int devNull = open("/dev/null", O_RDONLY);
    ASSERT_GE(devNull, 0);
    {
        StdinReplaced empty(devNull);
        EXPECT_EQ(_getch(), -1);
    }
    close(devNull);
}

class FileReplacement : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "brivanta-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string contentOf(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::filesystem::path dir;
};

TEST_F(FileReplacement, MovesOverAnExistingFileInOneStep) {
    std::ofstream(dir / "new.bin") << "new";
    std::ofstream(dir / "FwToUpload.bin") << "old contents";
    EXPECT_TRUE(platform_ReplaceFile((dir / "new.bin").c_str(), (dir / "FwToUpload.bin").c_str()));
    EXPECT_EQ(contentOf(dir / "FwToUpload.bin"), "new");
    EXPECT_FALSE(std::filesystem::exists(dir / "new.bin"));
}

TEST_F(FileReplacement, MissingSourceFailsAndLeavesTheTargetAlone) {
    std::ofstream(dir / "FwToUpload.bin") << "old";
    EXPECT_FALSE(
        platform_ReplaceFile((dir / "missing.bin").c_str(), (dir / "FwToUpload.bin").c_str()));
    EXPECT_EQ(contentOf(dir / "FwToUpload.bin"), "old");
}

}  // namespace
