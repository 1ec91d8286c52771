#include "config-protection.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <vector>

#include "ac-log.h"
#include "acconstants.h"
#include "config-manager.h"
#include "gardex.h"

extern char** environ;

namespace {

// The program that owns the tree profiles; the host daemon's path in the plug-in.
std::string SarvAcManagerDaemon;
std::mutex daemon_mutex;

// Programs that keep full access to the trees: the package tools, the
// suite's own configuration programs and its maintenance daemons.
const std::list<std::string> WhiteListapps = {"/usr/bin/dpkg",
                                              "/usr/bin/pm_dpkg",
                                              "/usr/bin/sarv-ac-manager-tools",
                                              "/usr/bin/sarv-ac-manager-configer",
                                              "/usr/sbin/sarvd",
                                              "/usr/sbin/stazictl"};

// Start-up and the folder watcher may both get here; their profile writes
// must not interleave.
std::mutex protect_mutex;

constexpr int kFullAccess = 15;
constexpr int kReadAccess = 5;
constexpr size_t kProfileHead = 256;
constexpr size_t kMaxCommandOutput = 4096;

// In the order the profiles are installed or removed.
std::vector<std::string> ProtectedTrees() { return {kVarLibFolder, kUsrShareFolder, kEtcFolder}; }

int CountFiles(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    int count = 0;
    while (struct dirent* ent = readdir(d)) {
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) continue;
        std::string path = dir + "/" + ent->d_name;
        // A truncated path would name another file.
        if (path.size() > 4095) continue;
        struct stat st {};
        if (lstat(path.c_str(), &st) < 0) {
            fprintf(stderr, "lstat error%s\n", path.c_str());
            continue;
        }
        if (S_ISREG(st.st_mode)) {
            if (++count >= 2) break;
        } else if (S_ISDIR(st.st_mode)) {
            int sub = CountFiles(path);
            if (sub > 0) count += sub;
            if (count > 1) break;
        }
    }
    closedir(d);
    return count > 2 ? 2 : count;
}

// Runs `argv` without a shell. Returns -errno when it cannot be started,
// else 0 with the wait status (-1 when it cannot be collected) and, when
// `output` is given, the first kMaxCommandOutput bytes of its standard output.
int RunCommand(const std::vector<std::string>& argv, std::string* output, int& status) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output) {
        if (pipe2(fds, O_CLOEXEC) < 0) {
            int r = -errno;
            posix_spawn_file_actions_destroy(&actions);
            return r;
        }
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    }
    pid_t pid = -1;
    int r = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output) close(fds[1]);
    if (r != 0) {
        if (output) close(fds[0]);
        return -r;
    }
    if (output) {
        output->clear();
        // The output is collected in small chunks; whatever exceeds the
        // bound is drained so the child never blocks on a full pipe.
        char buf[128];
        for (;;) {
            ssize_t n = read(fds[0], buf, sizeof buf - 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            if (output->size() < kMaxCommandOutput)
                output->append(buf, std::min(static_cast<size_t>(n), kMaxCommandOutput - output->size()));
        }
        close(fds[0]);
    }
    int wstatus = 0;
    pid_t w;
    while ((w = waitpid(pid, &wstatus, 0)) < 0 && errno == EINTR) {
    }
    status = w == pid ? wstatus : -1;
    return 0;
}

int RunSystemctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"systemctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    int status = -1;
    int r = RunCommand(argv, nullptr, status);
    if (r < 0) {
        AcLog(LOG_ERR, "cannot run systemctl %s: %s", args.empty() ? "" : args[0].c_str(), strerror(-r));
        return -1;
    }
    return status;
}

}  // namespace

int is_dir_contains_files(const char* dir) {
    if (!dir) return -1;
    return CountFiles(dir);
}

int is_config_need_protect() {
    int sum = 0;
    for (const std::string& dir : {kVarLibFolder, kEtcFolder, kUsrShareFolder + kPolicyFolderName + "/"}) {
        int n = is_dir_contains_files(dir.c_str());
        if (n > 0) sum += n;
    }
    return sum >= 1 ? 1 : 0;
}

int is_config_contains_sarvd(const char* profile) {
    if (!profile) return 0;
    int fd = open(profile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[kProfileHead + 1] = {};
    size_t got = 0;
    while (got < kProfileHead) {
        ssize_t n = read(fd, buf + got, kProfileHead - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got == 0) return 0;
    return strstr(buf, "/usr/sbin/stazictl") && strstr(buf, "/usr/bin/pm_dpkg") ? 1 : 0;
}

int is_config_already_protect() {
    for (const std::string& tree : {kVarLibFolder, kEtcFolder, kUsrShareFolder}) {
        std::string profile = fa_profile_path(tree);
        if (access(profile.c_str(), F_OK) == 0) return is_config_contains_sarvd(profile.c_str());
    }
    return 0;
}

int is_config_already_unprotect() {
    for (const std::string& tree : ProtectedTrees())
        if (access(fa_profile_path(tree).c_str(), F_OK) == 0) return 0;
    return 1;
}

std::string get_self_exe_path() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n < 1 || n > 4095) {
        AcLog(LOG_ERR, "Failed get_self_exe_path\n");
        return std::string();
    }
    return std::string(buf, static_cast<size_t>(n));
}

int protect_profile(const std::string& file, const std::list<std::string>& programs, const std::string& daemon,
                    int type) {
    FaProfile profile;
    profile.file = file;
    profile.daemon = daemon;
    profile.version = "0.0.1";
    profile.flag = 1;
    FaRule owners;
    owners.type = type;
    owners.ids = {-1};
    owners.programs = programs;
    owners.access = kFullAccess;
    FaRule everyone;
    everyone.type = type;
    everyone.ids = {-1};
    everyone.programs = {"*"};
    everyone.access = kReadAccess;
    profile.rules = {owners, everyone};

    int r = fa_set_profile(profile);
    if (r != 0) AcLog(LOG_ERR, "fa_set_and_update_profile failed. file = %s", file.c_str());
    return r;
}

int ConfigManager::ProtectConfig() {
    std::lock_guard<std::mutex> lock(protect_mutex);
    int need = is_config_need_protect();
    if (need && is_config_already_protect()) return 0;
    if (!need && is_config_already_unprotect()) return 0;

    std::string daemon;
    {
        std::lock_guard<std::mutex> daemon_lock(daemon_mutex);
        if (SarvAcManagerDaemon.empty()) SarvAcManagerDaemon = get_self_exe_path();
        daemon = SarvAcManagerDaemon;
    }

    for (const std::string& tree : ProtectedTrees()) {
        if (need) {
            int r = protect_profile(tree, WhiteListapps, daemon, 1);
            if (r != 0) {
                AcLog(LOG_ERR, "ConfigManager::ProtectConfig %s failed: %d!", tree.c_str(), r);
                return r;
            }
        } else {
            int r = fa_del_profile(tree);
            if (r != 0) {
                AcLog(LOG_ERR, "ConfigManager::ProtectConfig delete config %s failed: %d!", tree.c_str(), r);
                return r;
            }
        }
    }
    fa_update();
    return 0;
}

int set_and_start_service_status() {
    std::string enabled;
    int status = -1;
    int r = RunCommand({"systemctl", "is-enabled", "gardex"}, &enabled, status);
    if (r < 0) {
        // Without knowing the service's state, changing it could only be a guess.
        AcLog(LOG_ERR, "popen() failed!");
        return -1;
    }
    bool is_enabled = enabled.find("enabled") != std::string::npos;
    int profiles = is_dir_contains_files(kGardexProfileFolder.c_str());

    if (profiles >= 1) {
        if (is_enabled) return 0;
        RunSystemctl({"start", "gardex.service"});
        return RunSystemctl({"enable", "gardex.service"});
    }
    if (!is_enabled) return 0;
    return RunSystemctl({"disable", "gardex.service"});
}
