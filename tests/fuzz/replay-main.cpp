// A fuzz target built without libFuzzer: every file named on the command line, and every file below a folder
// named there but a README, goes to LLVMFuzzerTestOneInput once. libFuzzer's options are ignored, so one
// command line serves both builds; a fault shows as a crash or a sanitizer report, as under the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!std::filesystem::is_directory(argv[i]) && argv[i][0] != '-') inputs.push_back(argv[i]);
        if (std::filesystem::is_directory(argv[i]))
            for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i]))
                if (entry.is_regular_file() && entry.path().filename() != "README") inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.is_open() || in.bad()) return fprintf(stderr, "replay: cannot read %s\n", path.c_str()), 2;
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());  // never null
    }
    printf("replay: %zu inputs, no fault\n", inputs.size());
    return 0;
}
