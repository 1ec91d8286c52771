// File helpers for tests that run in the sandbox, where the configuration
// trees, /etc/gardex.d and /tmp are private.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace testfiles {

namespace fs = std::filesystem;

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Empties a folder without removing it: the sandbox mounts tmpfs on some.
inline void ClearFolder(const std::string& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    for (const auto& entry : fs::directory_iterator(folder, ec)) fs::remove_all(entry.path(), ec);
}

inline void ResetTrees() {
    for (const char* tree : {"/var/lib/olm/sarv", "/etc/olm/sarv", "/usr/share/olm/sarv", "/etc/gardex.d",
                             "/var/lib/gardex"})
        ClearFolder(tree);
}

// Every regular file below `root` (relative path -> contents).
inline std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_regular_file(ec)) files[fs::relative(it->path(), root).string()] = ReadFile(it->path().string());
    }
    return files;
}

inline std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A command placed first on PATH that appends its arguments, one call per
// line, to `log`. `script_body` runs after the recording (e.g. to print).
class FakeCommand {
public:
    FakeCommand(const std::string& name, const std::string& script_body)
        : folder_("/tmp/fakebin-" + name), log_(folder_ + "/calls") {
        ClearFolder(folder_);
        std::string path = folder_ + "/" + name;
        WriteFile(path, "#!/bin/sh\necho \"$*\" >> " + log_ + "\n" + script_body + "\n");
        chmod(path.c_str(), 0755);
        const char* old = getenv("PATH");
        old_path_ = old ? old : "";
        setenv("PATH", (folder_ + ":" + old_path_).c_str(), 1);
    }
    ~FakeCommand() { setenv("PATH", old_path_.c_str(), 1); }

    std::string folder() const { return folder_; }
    std::vector<std::string> Calls() const {
        std::vector<std::string> calls;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) calls.push_back(line);
        return calls;
    }

private:
    std::string folder_;
    std::string log_;
    std::string old_path_;
};

}  // namespace testfiles
