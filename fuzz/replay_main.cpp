// Runs a fuzz target over files instead of under libFuzzer: every file named, and every file in
// every directory named, once. The committed corpora and crash inputs are replayed this way in
// the ordinary test build, so a crash once found stays fixed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int replayFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int failures = 0;
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                failures += replayFile(entry.path());
                ++replayed;
            }
        } else {
            failures += replayFile(path);
            ++replayed;
        }
    }
    fprintf(stderr, "replayed %d inputs\n", replayed);
    return failures == 0 && replayed > 0 ? 0 : 1;
}
