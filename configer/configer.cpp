#include "configer.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "ac-audit.h"
#include "ac-log.h"
#include "acconstants.h"
#include "acjson.h"
#include "config-manager.h"
#include "config-protection.h"
#include "configfile-helper.h"
#include "explain.h"

namespace {

enum class Action { None, Add, Delete };
enum class Kind { None, Mode, Entity, Policy };

// Room for a path in a record; paths are at most PATH_MAX long.
constexpr size_t kAuditArgumentLimit = 4096;
// A command line of "check" that is not one.
constexpr int kUsageStatus = 2;

ssize_t ReadSome(int fd, char* buffer, size_t size) {
    for (;;) {
        ssize_t n = read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

// The whole content of a regular file of at most the library's size for a
// configuration file, read once; 0 or the negated errno (-EINVAL for
// anything but a regular file, -EFBIG for one too large). Opening never
// waits for a writer, so a FIFO is refused instead of hanging the command.
int ReadSource(const char* path, std::string& data) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -errno;
    struct stat st {};
    int r = fstat(fd, &st) != 0 ? -errno : 0;
    if (r == 0 && !S_ISREG(st.st_mode)) r = -EINVAL;
    if (r == 0 && static_cast<size_t>(st.st_size) > kMaxConfigFileSize) r = -EFBIG;
    data.clear();
    char buffer[65536];
    while (r == 0) {
        const ssize_t n = ReadSome(fd, buffer, sizeof(buffer));
        if (n < 0) r = -errno;
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
        // A file that grows while it is read.
        if (data.size() > kMaxConfigFileSize) r = -EFBIG;
    }
    close(fd);
    return r;
}

enum class SourceStep { kRead, kParse, kStructure };

// What `add` checks before it installs: one read of a regular file of at
// most the library's size, a record of the kind in it, and the record's
// structure (the service's structural check of a change). 0 with `data`
// and `record` filled in, or the error and the step that failed.
template <typename T>
int LoadSource(const std::string& file, std::string& data, T& record, SourceStep& failed) {
    failed = SourceStep::kRead;
    int res = ReadSource(file.c_str(), data);
    if (res != 0) return res;
    failed = SourceStep::kParse;
    res = ConfigFileHelper::LoadFromJson(data, record);
    if (res != 0) return res;
    failed = SourceStep::kStructure;
    return StructuralFault(record).empty() ? 0 : -EINVAL;
}

template <typename T>
int InstallRecord(T& record, const std::string& file) {
    // What is validated is what gets installed: the file is read once.
    std::string data;
    SourceStep failed;
    const int res = LoadSource(file, data, record, failed);
    if (res == -EINVAL && failed == SourceStep::kRead) {
        printf("set_config_file failed: not a regular file %s!", file.c_str());
        return res;
    }
    if (res != 0 && failed != SourceStep::kStructure) {
        printf("set_config_file failed: invald file %s!", file.c_str());
        return res;
    }
    // Only the structural check: the service applies its own rules when the
    // file reaches it through the folder watcher ("check" applies them).
    if (res != 0) {
        printf("set_config_file failed: invald json %s!", file.c_str());
        return res;
    }
    const std::string destination = kEtcFolder + GetConfigFileName(record);
    return install_data(data, destination.c_str());
}

const char* KindWord(const ModeData&) { return "mode"; }
const char* KindWord(const EntityInfoData&) { return "entity"; }
const char* KindWord(const PolicyData&) { return "policy"; }

// Why the library took no record of the kind from `data`: in the parser's
// own words when the text is not JSON.
template <typename T>
std::string DocumentFault(const std::string& data, const T& record) {
    const std::string kind = KindWord(record);
    if (JsonNestingDepth(data, kMaxJsonDocumentDepth) > kMaxJsonDocumentDepth)
        return "not a " + kind + " document: nested deeper than " + std::to_string(kMaxJsonDocumentDepth) + " levels";
    // Only this command asks why, so the parser may say it the way it
    // reports errors: as an exception, caught right here.
    try {
        if (!nlohmann::json::parse(data).is_object()) return "not a " + kind + " document: not a JSON object";
        return "not a " + kind + " document: a value of the wrong JSON type";
    } catch (const nlohmann::json::exception& e) {
        const std::string what = e.what();
        const size_t tag = what.find("] ");
        return "not JSON: " + (tag == std::string::npos ? what : what.substr(tag + 2));
    }
}

// `check`: what `add` checks, then what the service checks before it stores
// a change of the kind, on the configuration as the service would load it.
// Prints "FILE: ok" or "FILE: " and the reason; installs nothing, records
// nothing.
template <typename T>
int CheckRecord(T& record, const std::string& file) {
    LoadServiceConfiguration();
    std::string data;
    SourceStep failed;
    int res = LoadSource(file, data, record, failed);
    std::string why;
    if (res == 0) {
        ConfigManager::ChangeFault fault;
        T change;
        res = ConfigManager::CheckChange(data, change, fault);
        why = fault.why;
    } else if (failed == SourceStep::kStructure) {
        why = StructuralFault(record);
    } else if (failed == SourceStep::kParse) {
        why = DocumentFault(data, record);
    } else {
        why = res == -EINVAL  ? std::string("not a regular file")
              : res == -EFBIG ? "larger than " + std::to_string(kMaxConfigFileSize) + " bytes"
                              : std::string("cannot read: ") + strerror(-res);
    }
    printf("%s: %s\n", LogPrintable(file, PATH_MAX).c_str(), res == 0 ? "ok" : LogPrintable(why).c_str());
    return res;
}

template <typename Action>
int WithRecord(Kind kind, Action action) {
    switch (kind) {
    case Kind::Mode: {
        ModeData record;
        return action(record);
    }
    case Kind::Entity: {
        EntityInfoData record;
        return action(record);
    }
    case Kind::Policy: {
        PolicyData record;
        return action(record);
    }
    case Kind::None:
        break;
    }
    return ShowHelp();
}

Kind KindOption(const char* arg) {
    if (strcmp(arg, "--entity") == 0) return Kind::Entity;
    if (strcmp(arg, "--mode") == 0) return Kind::Mode;
    if (strcmp(arg, "--policy") == 0) return Kind::Policy;
    return Kind::None;
}

// Every missing folder above `path`, with mode 0755 whatever the umask. A
// folder that cannot be made is left to the open that follows to report.
void CreateParentFolders(const char* path) {
    const size_t length = strlen(path);
    for (size_t i = 1; i < length; ++i) {
        if (path[i] != '/') continue;
        if (i >= 4096) break;
        const std::string prefix(path, i);
        if (access(prefix.c_str(), F_OK) == 0) continue;
        if (mkdir(prefix.c_str(), 0755) != 0) break;
        chmod(prefix.c_str(), 0755);
    }
}

// 0 or an errno.
int WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// Creates a new hidden file beside `dst`. The configuration folders ignore
// hidden names, so the watcher never takes the half-written copy for a
// configuration file, and the service's start-up sweeps away what a killed
// install left under the prefix its own writes use. The file gets the
// default mode less the umask, as a plain create would.
int CreateTemporary(const std::string& folder, const std::string& base, std::string& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = folder + "/" + kTemporaryFilePrefix + base + "." + std::to_string(getpid()) + "." +
               std::to_string(attempt);
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

void SyncFolder(const std::string& folder) {
    // Best effort: the file is in place whatever this reports.
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// A record named by this program; one that cannot be written is logged,
// the command's output and status stay as they are.
void Record(const char* command, const std::string& message, int result) {
    const int r = AcAudit::AuditLogMsg(message, get_self_exe_path(), result);
    if (r < 0) AcLog(LOG_ERR, "%s audit_log_user_comm_message failed: %d!", command, r);
}

int AddConfig(Kind kind, const std::string& file) {
    if (kind == Kind::None) return ShowHelp();
    const int res = WithRecord(kind, [&](auto& record) { return set_config_file(record, file); });

    const std::string message = "add sarv-ac-manager config file " + AuditValue(file, kAuditArgumentLimit);
    if (res == 0) {
        Record("add", message, 1);
    } else {
        Record("add", message, 0);
        printf("set_config_file failed: res = %d\n", res);
    }
    return res;
}

std::string ResolvedPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

bool HasDotDotComponent(const std::string& path) {
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('/', start);
        if (path.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0) return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

// Where `file` is removed from when its folder lies at or below
// /etc/olm/sarv/ with every symbolic link resolved: that folder, "/" and the
// last component, so no link swapped in afterwards can lead elsewhere. A
// folder that does not exist is judged by its nearest existing parent; it
// then gives "" and `missing` its errno. Refused (false) otherwise, and for
// any ".." component.
bool RemovalPath(const std::string& file, std::string& target, int& missing) {
    if (HasDotDotComponent(file)) return false;
    std::string root = ResolvedPath(kEtcFolder);
    if (root.empty()) root = kEtcFolder.substr(0, kEtcFolder.size() - 1);
    auto inside = [&](const std::string& folder) {
        return folder == root || folder.compare(0, root.size() + 1, root + "/") == 0;
    };
    const size_t slash = file.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    const std::string resolved = ResolvedPath(folder);
    if (!resolved.empty()) {
        target = resolved + "/" + file.substr(slash == std::string::npos ? 0 : slash + 1);
        return inside(resolved);
    }
    missing = errno;
    target.clear();
    for (;;) {
        const size_t up = folder.rfind('/');
        folder = up == std::string::npos ? "." : up == 0 ? "/" : folder.substr(0, up);
        const std::string existing = ResolvedPath(folder);
        if (!existing.empty()) return inside(existing);
        if (folder == "." || folder == "/") return false;
    }
}

int DeleteConfig(const std::string& file) {
    std::string target;
    int missing = 0;
    if (file.find(kEtcFolder) == std::string::npos || !RemovalPath(file, target, missing)) {
        fputs("Not /etc/olm/sarv/ folder.\n", stdout);
        return -1;
    }
    const int rc = target.empty() ? -1 : remove(target.c_str());
    const int err = target.empty() ? missing : errno;
    const std::string message = "delete sarv-ac-manager config file " + AuditValue(file, kAuditArgumentLimit);
    if (rc != 0) {
        Record("delete", message, 0);
        printf("remove failed %s\n", strerror(err));
    } else {
        Record("delete", message, 1);
    }
    // Success and failure alike end with -1; only a failure prints a line.
    return -1;
}

}  // namespace

int ShowHelp() {
    fputs("administrator configer Usage: \n", stdout);
    fputs("  -h, --help              Show this help message\n", stdout);
    fputs("  add --entity [file]     Add Entity config file\n", stdout);
    fputs("  add --mode [file]       Add Mode config file\n", stdout);
    fputs("  add --policy [file]     Add policy config file\n", stdout);
    fputs("  delete [file]           Delete policy config file\n", stdout);
    fputs("  check --<kind> [file]   Check a config file, install nothing\n", stdout);
    return 0;
}

void LoadServiceConfiguration() {
    ConfigManager::Instance()->LoadTrees();
    // A folder this user cannot read is missing from the answer, while the
    // service, as root, reads it.
    for (const std::string& folder : kConfigFolderList)
        if (access(folder.c_str(), F_OK) == 0 && access(folder.c_str(), R_OK | X_OK) != 0)
            fprintf(stderr, "warning: %s cannot be read (%s); the service sees more than this answer\n",
                    folder.c_str(), strerror(errno));
}

int set_config_file(ModeData& record, const std::string& file) { return InstallRecord(record, file); }
int set_config_file(EntityInfoData& record, const std::string& file) { return InstallRecord(record, file); }
int set_config_file(PolicyData& record, const std::string& file) { return InstallRecord(record, file); }

int copy_file(const char* src, const char* dst) {
    if (!src || !dst || !*dst) return -EINVAL;
    std::string data;
    const int r = ReadSource(src, data);
    return r != 0 ? r : install_data(data, dst);
}

int install_data(const std::string& data, const char* dst) {
    if (!dst || !*dst) return -EINVAL;
    CreateParentFolders(dst);

    const std::string target(dst);
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    std::string temporary;
    const int out = CreateTemporary(folder, base, temporary);
    if (out < 0) return -errno;

    // Every step is checked before the rename: until then the old file is
    // untouched, and on any failure the copy is removed again.
    int err = WriteAll(out, data.data(), data.size());
    if (err == 0 && fsync(out) != 0) err = errno;
    if (close(out) != 0 && err == 0) err = errno;
    if (err == 0 && rename(temporary.c_str(), dst) != 0) err = errno;
    if (err != 0) {
        unlink(temporary.c_str());
        return -err;
    }
    SyncFolder(folder);
    return 0;
}

int RunConfiger(int argc, char* argv[]) {
    Action action = Action::None;
    Kind kind = Kind::None;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i] ? argv[i] : "";
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) return ShowHelp();
        if (strcmp(arg, "add") == 0) action = Action::Add;
        else if (strcmp(arg, "delete") == 0) action = Action::Delete;
        else if (KindOption(arg) != Kind::None) kind = KindOption(arg);
    }
    // The two commands that change nothing take their words in order.
    if (argc >= 2 && argv[1] && strcmp(argv[1], "check") == 0) {
        if (argc == 4 && KindOption(argv[2]) != Kind::None)
            return WithRecord(KindOption(argv[2]), [&](auto& record) { return CheckRecord(record, argv[3]); });
        ShowHelp();
        return kUsageStatus;
    }
    if (argc >= 2 && argv[1] && strcmp(argv[1], "explain") == 0)
        return Explain(std::vector<std::string>(argv + 2, argv + argc));
    if (argc == 3 && action == Action::Delete) return DeleteConfig(argv[2]);
    if (argc == 4 && action == Action::Add && kind != Kind::None) return AddConfig(kind, argv[3]);
    return ShowHelp();
}
