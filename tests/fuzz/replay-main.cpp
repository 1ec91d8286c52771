// The entry point of a fuzz target when it is built without libFuzzer: feeds
// every file named on the command line, and every regular file of every
// folder named there but a README, to LLVMFuzzerTestOneInput once, in name
// order. A fault shows up as a crash or a sanitizer report, as under the
// fuzzer.
#include <sys/stat.h>

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

namespace fs = std::filesystem;

namespace {

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);

    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // libFuzzer's options are accepted and ignored, so one command line
        // serves both builds.
        if (arg.size() > 1 && arg[0] == '-') continue;
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<std::string> files;
            for (const auto& entry : fs::recursive_directory_iterator(arg, ec))
                // A folder's README describes it; it is no input.
                if (entry.is_regular_file(ec) && entry.path().filename() != "README")
                    files.push_back(entry.path().string());
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (fs::is_regular_file(arg, ec)) {
            inputs.push_back(arg);
        } else {
            fprintf(stderr, "replay: %s: no such file or folder\n", arg.c_str());
            return 2;
        }
    }

    size_t done = 0;
    for (const auto& path : inputs) {
        std::vector<uint8_t> bytes;
        if (!ReadFile(path, bytes)) {
            fprintf(stderr, "replay: cannot read %s\n", path.c_str());
            return 2;
        }
        // Never a null pointer, as under libFuzzer.
        static const uint8_t empty = 0;
        LLVMFuzzerTestOneInput(bytes.empty() ? &empty : bytes.data(), bytes.size());
        ++done;
    }
    printf("replay: %zu inputs, no fault\n", done);
    return 0;
}
