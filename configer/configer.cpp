#include "configer.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ac-audit.h"
#include "ac-log.h"
#include "acconstants.h"
#include "configfile-helper.h"

namespace {

enum class Action { None, Add, Delete };
enum class Kind { None, Mode, Entity, Policy };

// Room for a path in a record; paths are at most PATH_MAX long.
constexpr size_t kAuditArgumentLimit = 4096;

bool RecordValid(const ModeData& m) { return !m.object.empty() && !m.mode.empty(); }
bool RecordValid(const EntityInfoData& e) { return e.IsValid(); }
bool RecordValid(const PolicyData& p) { return p.IsValid(); }

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

template <typename T>
int InstallRecord(T& record, const std::string& file) {
    // What is validated is what gets installed: the file is read once.
    std::string data;
    int res = ReadSource(file.c_str(), data);
    if (res == -EINVAL) {
        printf("set_config_file failed: not a regular file %s!", file.c_str());
        return res;
    }
    if (res == 0) res = ConfigFileHelper::LoadFromJson(data, record);
    if (res != 0) {
        printf("set_config_file failed: invald file %s!", file.c_str());
        return res;
    }
    // Only the structural check: the service applies its own rules when the
    // file reaches it through the folder watcher.
    if (!RecordValid(record)) {
        printf("set_config_file failed: invald json %s!", file.c_str());
        return -EINVAL;
    }
    const std::string destination = kEtcFolder + GetConfigFileName(record);
    return install_data(data, destination.c_str());
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
    int res = 0;
    switch (kind) {
    case Kind::Mode: {
        ModeData record;
        res = set_config_file(record, file);
        break;
    }
    case Kind::Entity: {
        EntityInfoData record;
        res = set_config_file(record, file);
        break;
    }
    case Kind::Policy: {
        PolicyData record;
        res = set_config_file(record, file);
        break;
    }
    case Kind::None:
        return ShowHelp();
    }

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
    return 0;
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

std::string get_self_exe_path() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer));
    if (n < 1 || n > 4095) return std::string();
    return std::string(buffer, static_cast<size_t>(n));
}

int RunConfiger(int argc, char* argv[]) {
    Action action = Action::None;
    Kind kind = Kind::None;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i] ? argv[i] : "";
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) return ShowHelp();
        if (strcmp(arg, "add") == 0) action = Action::Add;
        else if (strcmp(arg, "delete") == 0) action = Action::Delete;
        else if (strcmp(arg, "--entity") == 0) kind = Kind::Entity;
        else if (strcmp(arg, "--mode") == 0) kind = Kind::Mode;
        else if (strcmp(arg, "--policy") == 0) kind = Kind::Policy;
    }
    if (argc == 3 && action == Action::Delete) return DeleteConfig(argv[2]);
    if (argc == 4 && action == Action::Add && kind != Kind::None) return AddConfig(kind, argv[3]);
    return ShowHelp();
}
