// SPDX-License-Identifier: MIT
// Runs a fuzz target without libFuzzer: every file of a corpus folder, then a
// fixed number of inputs from a seeded generator, so that the same inputs run
// on every machine. Usage: <target> [corpus-dir] [--runs=N] [--seed=S]
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
// Optional: a target may shape random inputs so that they pass its early checks.
extern "C" __attribute__((weak)) size_t VibraFuzzShapeInput(uint8_t *data, size_t size, size_t max_size,
                                                            uint64_t seed);

namespace {

uint64_t next(uint64_t &state)
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string corpus;
    unsigned long runs = 1000;
    uint64_t seed = 0x5eed5eed5eed5eedULL;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--runs=", 7) == 0) {
            runs = std::strtoul(argv[i] + 7, nullptr, 10);
        } else if (std::strncmp(argv[i], "--seed=", 7) == 0) {
            seed = std::strtoull(argv[i] + 7, nullptr, 0);
        } else {
            corpus = argv[i];
        }
    }
    std::printf("fuzz replay: seed 0x%llx, %lu generated inputs\n", static_cast<unsigned long long>(seed), runs);

    size_t files = 0;
    if (!corpus.empty() && std::filesystem::is_directory(corpus)) {
        for (const auto &entry : std::filesystem::directory_iterator(corpus)) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++files;
        }
    }

    uint64_t state = seed ? seed : 1;
    std::vector<uint8_t> bytes(256);
    for (unsigned long run = 0; run < runs; ++run) {
        size_t size = next(state) % bytes.size();
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<uint8_t>(next(state));
        }
        if (VibraFuzzShapeInput) {
            size = VibraFuzzShapeInput(bytes.data(), size, bytes.size(), next(state));
        }
        LLVMFuzzerTestOneInput(bytes.data(), size);
        if ((run + 1) % 1000 == 0) {
            std::fprintf(stderr, "  %lu/%lu\n", run + 1, runs);
        }
    }
    std::printf("fuzz replay: %zu corpus files and %lu generated inputs ran, no failure\n", files, runs);
    return 0;
}
