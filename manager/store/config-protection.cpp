#include "config-protection.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
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
#include "run-program.h"
#include "unique-fd.h"

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
    UniqueDir d(opendir(dir.c_str()));
    if (!d) return -1;
    int count = 0;
    while (struct dirent* ent = readdir(d.get())) {
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
    return count > 2 ? 2 : count;
}

int RunSystemctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"systemctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProgramResult run = RunProgram(argv);
    if (!run.started) {
        AcLog(LOG_ERR, "cannot run systemctl %s: %s", args.empty() ? "" : args[0].c_str(), strerror(run.error));
        return -1;
    }
    return run.status;
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
    UniqueFd fd(open(profile, O_RDONLY | O_CLOEXEC));
    if (!fd) return 0;
    char buf[kProfileHead + 1] = {};
    size_t got = 0;
    while (got < kProfileHead) {
        ssize_t n = read(fd.get(), buf + got, kProfileHead - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
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
    const ProgramResult run =
        RunProgram({"systemctl", "is-enabled", "gardex"}, ProgramOptions::Capturing(kMaxCommandOutput));
    if (!run.started) {
        // Without knowing the service's state, changing it could only be a guess.
        AcLog(LOG_ERR, "popen() failed!");
        return -1;
    }
    bool is_enabled = run.output.find("enabled") != std::string::npos;
    int profiles = is_dir_contains_files(kGardexProfileFolder.c_str());

    if (profiles >= 1) {
        if (is_enabled) return 0;
        RunSystemctl({"start", "gardex.service"});
        return RunSystemctl({"enable", "gardex.service"});
    }
    if (!is_enabled) return 0;
    return RunSystemctl({"disable", "gardex.service"});
}
