// Replays a fuzz target's committed corpus without libFuzzer: every file of the folders (or the
// files) named on the command line goes through LLVMFuzzerTestOneInput once, in name order. A broken
// property aborts, as it does under libFuzzer; the sanitizers of the build report the rest.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path& argument) {
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(argument)) {
        for (const auto& entry : std::filesystem::directory_iterator(argument))
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        std::sort(inputs.begin(), inputs.end());
    } else if (std::filesystem::is_regular_file(argument)) {
        inputs.push_back(argument);
    }
    return inputs;
}

std::vector<uint8_t> contentOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> found = inputsOf(argv[i]);
        if (found.empty()) {
            // A corpus that went missing must not pass as an empty replay.
            fprintf(stderr, "replay: no inputs in %s\n", argv[i]);
            return 2;
        }
        inputs.insert(inputs.end(), found.begin(), found.end());
    }
    if (inputs.empty()) {
        fprintf(stderr, "usage: %s CORPUS-FOLDER-OR-FILE...\n", argv[0]);
        return 2;
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (const std::filesystem::path& input : inputs) {
        fprintf(stderr, "replay: %s\n", input.c_str());
        std::vector<uint8_t> data = contentOf(input);
        static const uint8_t nothing = 0;  // libFuzzer never passes a null pointer, even for no bytes
        LLVMFuzzerTestOneInput(data.empty() ? &nothing : data.data(), data.size());
    }
    fprintf(stderr, "replay: %zu inputs passed\n", inputs.size());
    return 0;
}
