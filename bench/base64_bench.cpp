// Base64 encoding of the flat controller image, the web package's body.
//   base64_bench [benchmark flags]        times base64_encode on the 123960-byte image
//   base64_bench --write-image=PATH       writes the image's bytes to PATH (for base64_bench.sh)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BrivantaFwUpgrade.h"
#include "Encoder.h"

namespace {

constexpr int kTextCapacity = 614400;

// The flat controller image as the export assembles it; empty when the assembly fails.
std::vector<uint8_t> controllerImage() {
    std::vector<uint8_t> image;
    if (!allocateStartupBuffers()) return image;
    if (ValidateFwAndConcatenateData(gHexFirmware)) {
        image.assign(gDataConcatenated, gDataConcatenated + gDataConcatenatedLenght);
    }
    releaseStartupBuffers();
    return image;
}

const std::vector<uint8_t>& image() {
    static const std::vector<uint8_t> bytes = controllerImage();
    return bytes;
}

void BM_EncodeControllerImage(benchmark::State& state) {
    std::vector<unsigned char> text(kTextCapacity);
    const int length = static_cast<int>(image().size());
    for (auto _ : state) {
        int textLength = kTextCapacity;
        benchmark::DoNotOptimize(base64_encode(text.data(), textLength, image().data(), length));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}
BENCHMARK(BM_EncodeControllerImage);

bool writeImage(const char* path) {
    FILE* file = fopen(path, "wb");
    if (file == nullptr) return false;
    const bool written = fwrite(image().data(), 1, image().size(), file) == image().size();
    return fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    // The assembly prints nothing on success; keep its console output away from the figures.
    if (image().empty()) {
        fprintf(stderr, "the controller image did not assemble\n");
        return 1;
    }
    const char* const writeFlag = "--write-image=";
    if (argc == 2 && strncmp(argv[1], writeFlag, strlen(writeFlag)) == 0) {
        return writeImage(argv[1] + strlen(writeFlag)) ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
