#include "pkgdb-fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "policy-migration-helper.h"

extern char** environ;

std::string RunCommand(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char buf[65536];
    ssize_t n;
    while (rc == 0 && ((n = read(fds[0], buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0) out.append(buf, size_t(n));
    close(fds[0]);
    int status;
    if (rc == 0) waitpid(pid, &status, 0);
    return out;
}

static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

static bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

std::vector<std::string> DpkgList(const std::string& pkg) {
    std::vector<std::string> paths;
    for (const auto& line : Lines(RunCommand({"dpkg", "-L", pkg}))) {
        if (StartsWith(line, "package diverts others to: ") || StartsWith(line, "diverted by ") ||
            StartsWith(line, "locally diverted to: ") ||
            (StartsWith(line, "Package '") && line.find("' does not contain any files (!)") != std::string::npos))
            continue;
        paths.push_back(line);
    }
    return paths;
}

std::map<std::string, std::string> DpkgSearch(const std::vector<std::string>& paths) {
    std::vector<std::string> argv = {"dpkg", "-S"};
    argv.insert(argv.end(), paths.begin(), paths.end());
    std::map<std::string, std::string> owners;
    for (const auto& line : Lines(RunCommand(argv))) {
        if (StartsWith(line, "diversion by ") || StartsWith(line, "local diversion ")) continue;
        size_t sep = line.find(": ");
        if (sep == std::string::npos) continue;
        std::string first = line.substr(0, std::min(sep, line.find(", ")));
        owners[line.substr(sep + 2)] = first.substr(0, first.find(':'));
    }
    return owners;
}

std::vector<std::string> ElfOnly(const std::vector<std::string>& paths) {
    std::vector<std::string> elves;
    for (const auto& p : paths)
        if (is_elf_file(p.c_str())) elves.push_back(p);
    return elves;
}

void UseAdminDir(const std::string& admindir) {
    setenv("DPKG_ADMINDIR", admindir.c_str(), 1);
    PolicyMigrationHelper::Instance()->CloseDb();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

ScratchDir::ScratchDir() {
    char tmpl[] = "/tmp/pkgdb-test-XXXXXX";
    path_ = mkdtemp(tmpl) ? tmpl : "/tmp/pkgdb-test-fallback";
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}
