#include "configer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ac-audit.h"
#include "acconstants.h"
#include "configfile-helper.h"

namespace {

enum class Action { None, Add, Delete };
enum class Kind { None, Mode, Entity, Policy };

bool RecordValid(const ModeData& m) { return !m.object.empty() && !m.mode.empty(); }
bool RecordValid(const EntityInfoData& e) { return e.IsValid(); }
bool RecordValid(const PolicyData& p) { return p.IsValid(); }

template <typename T>
int InstallRecord(T& record, const std::string& file) {
    int res = ConfigFileHelper::LoadFromFile(file, record);
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
    return copy_file(file.c_str(), destination.c_str());
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

ssize_t ReadSome(int fd, char* buffer, size_t size) {
    for (;;) {
        ssize_t n = read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) return n;
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

// 0 or an errno.
int CopyData(int in, int out) {
    char buffer[1024];
    for (;;) {
        const ssize_t n = ReadSome(in, buffer, sizeof(buffer));
        if (n < 0) return errno;
        if (n == 0) return 0;
        if (int err = WriteAll(out, buffer, static_cast<size_t>(n))) return err;
    }
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

    const std::string message = "add sarv-ac-manager config file " + file;
    const std::string comm = get_self_exe_path();
    if (res == 0) {
        AcAudit::AuditLogMsg(message.c_str(), comm.c_str(), 1);
    } else {
        AcAudit::AuditLogMsg(message.c_str(), comm.c_str(), 0);
        printf("set_config_file failed: res = %d\n", res);
    }
    return res;
}

int DeleteConfig(const std::string& file) {
    if (file.find(kEtcFolder) == std::string::npos) {
        fputs("Not /etc/olm/sarv/ folder.\n", stdout);
        return -1;
    }
    const int rc = remove(file.c_str());
    const int err = errno;
    const std::string message = "delete sarv-ac-manager config file " + file;
    const std::string comm = get_self_exe_path();
    if (rc != 0) {
        AcAudit::AuditLogMsg(message.c_str(), comm.c_str(), 0);
        printf("remove failed %s\n", strerror(err));
    } else {
        AcAudit::AuditLogMsg(message.c_str(), comm.c_str(), 1);
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
    const int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) return -errno;

    CreateParentFolders(dst);

    const std::string target(dst);
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    std::string temporary;
    const int out = CreateTemporary(folder, base, temporary);
    if (out < 0) {
        const int err = errno;
        close(in);
        return -err;
    }

    // Every step is checked before the rename: until then the old file is
    // untouched, and on any failure the copy is removed again.
    int err = CopyData(in, out);
    if (close(in) != 0 && err == 0) err = errno;
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
