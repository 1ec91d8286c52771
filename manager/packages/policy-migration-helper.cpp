#include "policy-migration-helper.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <string_view>
#include <unordered_map>

#include "ac-log.h"
#include "folder-changes.h"
#include "installed.h"
#include "unique-fd.h"

namespace {

// Files of the admin folder are read whole; these bounds sit far above what
// a real system holds and keep a corrupt or hostile file (or a symlink to
// /dev/zero) from exhausting memory.
constexpr off_t kMaxStatusSize = off_t(256) << 20;
constexpr off_t kMaxListSize = off_t(64) << 20;
constexpr off_t kMaxUpdateSize = off_t(16) << 20;
// dpkg refuses journal entries with longer names.
constexpr size_t kMaxUpdateNameLength = 10;
// How long after a change the change may still be missing from the times
// of the file: the kernel stamps files from a clock that moves in ticks,
// and the coarsest file systems in whole seconds.
constexpr int64_t kTimeGrainNs = 1000000000;
// While dpkg holds its lock the database passes through states that last
// moments: it is loaded anew at most this often until dpkg lets go.
constexpr int64_t kBusyReloadNs = 1000000000;
// Kept answers of QueryPackageFileList; the names asked for are those of
// the configured package entities, far fewer.
constexpr size_t kMaxKeptLists = 4096;
// dpkg keeps its package sets in this many hash bins; it reads the file
// lists in bin order (then by where the lists lie on disk), and a path
// listed by several packages names the last package read first.
constexpr uint32_t kPackageBins = 65521;

enum PackageStatus {
    kNotInstalled = 0,
    kConfigFiles,
    kHalfInstalled,
    kUnpacked,
    kHalfConfigured,
    kTriggersAwaited,
    kTriggersPending,
    kInstalled,
};

const char* const kStatusWords[] = {"not-installed",   "config-files",     "half-installed",   "unpacked",
                                    "half-configured", "triggers-awaited", "triggers-pending", "installed"};

// The fields whose package names dpkg enters into its package table while
// parsing; they decide the order of sets that share a hash bin.
const char* const kRelationFields[] = {"Pre-Depends", "Depends",  "Recommends", "Suggests", "Breaks",
                                       "Conflicts",   "Enhances", "Provides",   "Replaces"};

// The architecture dpkg was built for: it decides whether a name needs its
// ":ARCH" suffix to be unambiguous.
const char* NativeArch() {
#if defined(__x86_64__) && defined(__ILP32__)
    return "x32";
#elif defined(__x86_64__)
    return "amd64";
#elif defined(__i386__)
    return "i386";
#elif defined(__aarch64__)
    return "arm64";
#elif defined(__arm__) && defined(__ARM_PCS_VFP)
    return "armhf";
#elif defined(__arm__)
    return "armel";
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return "ppc64el";
#elif defined(__powerpc64__)
    return "ppc64";
#elif defined(__s390x__)
    return "s390x";
#elif defined(__riscv) && __riscv_xlen == 64
    return "riscv64";
#elif defined(__mips64) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return "mips64el";
#elif defined(__mips__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return "mipsel";
#elif defined(__loongarch64)
    return "loong64";
#else
    return "";
#endif
}

bool IsAsciiAlnum(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string AsciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = AsciiLower(c);
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// dpkg's rule for package names; empty when `name` is legal.
std::string NameProblem(std::string_view name) {
    if (name.empty()) return "may not be empty string";
    if (!IsAsciiAlnum(name[0])) return "must start with an alphanumeric character";
    for (char c : name)
        if (!IsAsciiAlnum(c) && (c == '\0' || !strchr("-+._", c)))
            return std::string("character '") + c + "' not allowed (only letters, digits and characters '-+._')";
    return {};
}

// dpkg's rule for architecture names; empty when `arch` is legal.
std::string ArchProblem(std::string_view arch) {
    if (arch.empty()) return "may not be empty string";
    if (!IsAsciiAlnum(arch[0])) return "must start with an alphanumeric";
    for (char c : arch.substr(1))
        if (!IsAsciiAlnum(c) && c != '-')
            return std::string("character '") + c + "' not allowed (only letters, digits and characters '-')";
    return {};
}

struct PackageQuery {
    std::string name;
    std::string arch;
    bool has_arch = false;
};

// Splits "name[:arch]" at the first colon and checks both halves.
bool ParsePackageQuery(std::string_view text, PackageQuery* wanted, std::string* error) {
    size_t colon = text.find(':');
    wanted->name = std::string(text.substr(0, colon));
    wanted->has_arch = colon != std::string_view::npos;
    wanted->arch = wanted->has_arch ? std::string(text.substr(colon + 1)) : std::string();
    std::string problem = NameProblem(wanted->name);
    if (!problem.empty()) {
        if (error)
            *error = "illegal package name in specifier '" + wanted->name + (wanted->has_arch ? ":" : "") + wanted->arch +
                     "': " + problem;
        return false;
    }
    if (wanted->has_arch) {
        problem = ArchProblem(wanted->arch);
        if (!problem.empty()) {
            if (error) *error = "illegal architecture name in specifier '" + wanted->name + ":" + wanted->arch + "': " + problem;
            return false;
        }
    }
    return true;
}

uint32_t FnvHash(std::string_view s) {
    uint32_t h = 2166136261u;
    for (char c : s) {
        // dpkg hashes plain (signed) chars.
        h ^= uint32_t(int(static_cast<signed char>(c)));
        h *= 16777619u;
    }
    return h;
}

// Reads a whole regular file of at most `limit` bytes; false with errno set.
bool ReadWholeFile(const std::string& path, off_t limit, std::string* out) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) return false;
    struct stat st;
    int err = 0;
    if (fstat(fd.get(), &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else if (st.st_size > limit) {
        err = EFBIG;
    }
    out->clear();
    if (!err) {
        out->reserve(size_t(st.st_size));
        char buf[65536];
        for (;;) {
            ssize_t n = read(fd.get(), buf, sizeof(buf));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                err = errno;
                break;
            }
            if (n == 0) break;
            if (off_t(out->size()) + n > limit) {
                err = EFBIG;
                break;
            }
            out->append(buf, size_t(n));
        }
    }
    if (err) {
        out->clear();
        errno = err;
        return false;
    }
    return true;
}

struct Field {
    std::string_view name;
    std::string value;
};

// Splits deb822 text into stanzas; calls `fn(fields)` for each. Lines that
// are neither fields nor continuations are skipped rather than fatal.
template <typename Fn>
void ForEachStanza(std::string_view text, Fn&& fn) {
    std::vector<Field> fields;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string_view::npos ? text.size() : nl;
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (Trim(line).empty()) {
            if (!fields.empty()) fn(fields);
            fields.clear();
            continue;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            if (!fields.empty()) {
                fields.back().value += '\n';
                fields.back().value += Trim(line);
            }
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) continue;
        fields.push_back({Trim(line.substr(0, colon)), std::string(Trim(line.substr(colon + 1)))});
    }
    if (!fields.empty()) fn(fields);
}

// The names of a relationship field: "a (>= 1) | b:any, c [amd64]".
template <typename Fn>
void ForEachRelationName(std::string_view value, Fn&& fn) {
    size_t pos = 0;
    while (pos <= value.size()) {
        size_t sep = value.find_first_of(",|", pos);
        if (sep == std::string_view::npos) sep = value.size();
        std::string_view item = value.substr(pos, sep - pos);
        pos = sep + 1;
        size_t start = 0;
        while (start < item.size() && isspace(static_cast<unsigned char>(item[start]))) ++start;
        size_t stop = start;
        while (stop < item.size() && !isspace(static_cast<unsigned char>(item[stop])) &&
               !strchr("(:[<", item[stop]))
            ++stop;
        std::string_view name = item.substr(start, stop - start);
        if (!name.empty() && NameProblem(name).empty()) fn(name);
    }
}

int64_t NowNs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// What tells whether a file or folder of the database changed. dpkg
// replaces its files by renaming new ones into place, which gives the file
// a new inode and changes the folder; any write moves the change time.
struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtime = 0;  // ns
    int64_t ctime = 0;  // ns

    bool operator==(const FileStamp& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size && mtime == o.mtime &&
               ctime == o.ctime;
    }
};

FileStamp StampOf(const std::string& path) {
    FileStamp stamp;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return stamp;
    stamp.exists = true;
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtime = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.ctime = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return stamp;
}

// Whether dpkg holds the lock of its database: it is installing or removing.
bool DpkgAtWork(const std::string& admindir) {
    const UniqueFd fd(open((admindir + "/lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) return false;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return fcntl(fd.get(), F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// dpkg's node names drop any leading "/" and "./" and put one "/" back.
std::string_view SkipSlashDotSlash(std::string_view path) {
    while (!path.empty() && (path[0] == '/' || (path[0] == '.' && path.size() > 1 && path[1] == '/')))
        path.remove_prefix(1);
    return path;
}

// `dpkg -S` drops trailing "/" and "/." from a plain path, keeping the first byte.
std::string_view TrimSlashDot(std::string_view path) {
    while (path.size() > 1) {
        if (path.back() == '/')
            path.remove_suffix(1);
        else if (path.back() == '.' && path[path.size() - 2] == '/')
            path.remove_suffix(1);
        else
            break;
    }
    return path;
}

}  // namespace

struct PolicyMigrationHelper::Database {
    struct Instance {
        std::string arch;  // "" when the record names none
        bool multiarch_same = false;
        int status = kNotInstalled;
        int64_t disk_offset = 0;
        std::vector<uint32_t> files;  // node ids in list order
    };
    struct Set {
        std::string name;  // lower case, as dpkg stores it
        uint32_t bin = 0;
        std::vector<Instance> instances;  // dpkg's slot order
    };

    std::string admindir;
    // The status file, the journal and the info folder as they were just
    // before the load, and when that was.
    std::vector<FileStamp> stamps;
    int64_t stamped_at = 0;
    // A change in the clock tick of a stamp may have left the stamp as it
    // was: such a load is made once more when that tick is surely past.
    int64_t settled_at = 0;
    // What happened in the folders of those files since they were last
    // looked at; while nothing did, they need no stat. `unsettled`: the last
    // look found them changed, and the load was put off while dpkg works.
    FolderChanges changes;
    bool unsettled = false;
    // QueryPackageFileList's answers, by the name asked for.
    std::unordered_map<std::string, std::vector<std::string>> programs;
    bool multiarch_layout = true;
    std::vector<Set> sets;  // in the order dpkg first meets each name
    std::unordered_map<std::string, uint32_t> set_ids;
    std::unordered_map<std::string, uint32_t> node_ids;  // name without the leading "/"
    std::vector<const std::string*> node_names;
    std::vector<uint32_t> node_owner;  // set of the package dpkg yields first

    std::vector<FileStamp> StampsNow() const;
    void TakeStamps();
    bool Outdated();
    uint32_t FindOrCreateSet(std::string_view name);
    const Set* FindSet(std::string_view name) const;
    void ApplyStanza(const std::vector<Field>& fields, bool journal);
    void ReadStatus();
    std::string ListPath(const Set& set, const Instance& inst) const;
    void LoadFileLists();
    void LoadFileList(uint32_t set_id, Instance* inst);
    std::string NodeName(uint32_t id) const { return "/" + *node_names[id]; }

    // Which instances list each node (set, slot), built at the first
    // question about the owners of a path and kept with the database.
    struct Owner {
        uint32_t set;
        uint32_t slot;
    };
    bool owners_built = false;
    std::vector<uint32_t> owner_begin;  // node id -> first of its owners; one more entry at the end
    std::vector<Owner> owners;
    void BuildOwners();
    void AddSpecifiersListing(uint32_t node, std::vector<std::string>* specifiers) const;
};

std::vector<FileStamp> PolicyMigrationHelper::Database::StampsNow() const {
    return {StampOf(admindir + "/status"), StampOf(admindir + "/updates"), StampOf(admindir + "/info")};
}

void PolicyMigrationHelper::Database::TakeStamps() {
    // Watched first: a change while the stamps are taken shows next time.
    changes.Watch({admindir}, {admindir + "/updates", admindir + "/info"});
    stamped_at = NowNs();
    stamps = StampsNow();
    int64_t newest = 0;
    for (const FileStamp& s : stamps) newest = std::max(newest, s.ctime);
    settled_at = newest + kTimeGrainNs;
}

bool PolicyMigrationHelper::Database::Outdated() {
    const int64_t now = NowNs();
    if (unsettled || !changes.Quiet()) unsettled = StampsNow() != stamps;
    if (unsettled) {
        // Half-done states of a dpkg run are followed at a bounded pace;
        // once dpkg lets go, the next question loads the end state.
        return !(now >= stamped_at && now - stamped_at < kBusyReloadNs && DpkgAtWork(admindir));
    }
    // A clock set back leaves the tick test meaningless: load anew.
    return settled_at > stamped_at && (now >= settled_at || now < stamped_at);
}

uint32_t PolicyMigrationHelper::Database::FindOrCreateSet(std::string_view name) {
    std::string key = AsciiLower(name);
    auto it = set_ids.find(key);
    if (it != set_ids.end()) return it->second;
    Set set;
    set.name = key;
    set.bin = FnvHash(key) % kPackageBins;
    uint32_t id = uint32_t(sets.size());
    sets.push_back(std::move(set));
    set_ids.emplace(std::move(key), id);
    return id;
}

const PolicyMigrationHelper::Database::Set* PolicyMigrationHelper::Database::FindSet(std::string_view name) const {
    auto it = set_ids.find(AsciiLower(name));
    return it == set_ids.end() ? nullptr : &sets[it->second];
}

void PolicyMigrationHelper::Database::ApplyStanza(const std::vector<Field>& fields, bool journal) {
    int set_id = -1;
    Instance inst;
    bool has_status = false;
    bool valid = true;
    for (const Field& f : fields) {
        if (EqualsNoCase(f.name, "Package")) {
            if (!NameProblem(f.value).empty() || set_id >= 0) {
                valid = false;
                continue;
            }
            set_id = int(FindOrCreateSet(f.value));
        } else if (EqualsNoCase(f.name, "Status")) {
            // "want flag status": only the last word matters here.
            std::string_view v = f.value;
            size_t last = v.find_last_of(" \t");
            std::string_view word = last == std::string_view::npos ? std::string_view() : v.substr(last + 1);
            has_status = false;
            for (int s = kNotInstalled; s <= kInstalled; ++s)
                if (EqualsNoCase(word, kStatusWords[s])) {
                    inst.status = s;
                    has_status = true;
                }
        } else if (EqualsNoCase(f.name, "Architecture")) {
            // The architecture may end up in a file name: refuse anything
            // dpkg would not accept as one.
            if (!f.value.empty() && !ArchProblem(f.value).empty())
                valid = false;
            else
                inst.arch = f.value;
        } else if (EqualsNoCase(f.name, "Multi-Arch")) {
            inst.multiarch_same = EqualsNoCase(f.value, "same");
        } else {
            for (const char* rel : kRelationFields)
                if (EqualsNoCase(f.name, rel)) {
                    ForEachRelationName(f.value, [this](std::string_view n) { FindOrCreateSet(n); });
                    break;
                }
        }
    }
    if (set_id < 0 || !valid || !has_status) return;

    std::vector<Instance>& instances = sets[size_t(set_id)].instances;
    Instance* slot = nullptr;
    if (journal) {
        // A journal entry replaces the one installed instance unless both
        // are co-installable, which is how dpkg records a cross-grade.
        Instance* only = nullptr;
        int installed = 0;
        for (Instance& s : instances)
            if (s.status != kNotInstalled) {
                only = &s;
                ++installed;
            }
        if (installed == 1 && !(only->multiarch_same && inst.multiarch_same)) slot = only;
    }
    if (!slot)
        for (Instance& s : instances)
            if (s.arch == inst.arch) slot = &s;
    if (!slot) {
        instances.emplace_back();
        slot = &instances.back();
    }
    *slot = std::move(inst);
}

void PolicyMigrationHelper::Database::ReadStatus() {
    std::string text;
    std::string path = admindir + "/status";
    if (ReadWholeFile(path, kMaxStatusSize, &text)) {
        ForEachStanza(text, [this](const std::vector<Field>& f) { ApplyStanza(f, false); });
    } else if (errno != ENOENT) {
        AcLog(LOG_ERR, "cannot read package status file '%s': %s", LogPrintable(path).c_str(), strerror(errno));
    }

    // Changes dpkg has journalled but not yet folded into the status file.
    std::string updates = admindir + "/updates";
    std::vector<std::string> names;
    if (UniqueDir dir{opendir(updates.c_str())}) {
        while (struct dirent* e = readdir(dir.get())) {
            std::string_view n = e->d_name;
            if (n.empty() || n.size() > kMaxUpdateNameLength) continue;
            if (std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }))
                names.emplace_back(n);
        }
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names)
        if (ReadWholeFile(updates + "/" + n, kMaxUpdateSize, &text))
            ForEachStanza(text, [this](const std::vector<Field>& f) { ApplyStanza(f, true); });

    // The info folder's layout: a missing or "0" format file means the
    // lists of co-installable packages carry no ":ARCH".
    if (ReadWholeFile(admindir + "/info/format", 4096, &text)) {
        char* end = nullptr;
        unsigned long format = strtoul(text.c_str(), &end, 10);
        multiarch_layout = !(end != text.c_str() && format == 0);
    } else {
        multiarch_layout = errno != ENOENT;
    }
}

std::string PolicyMigrationHelper::Database::ListPath(const Set& set, const Instance& inst) const {
    std::string path = admindir + "/info/" + set.name;
    if (inst.multiarch_same && multiarch_layout && !inst.arch.empty()) path += ":" + inst.arch;
    return path + ".list";
}

void PolicyMigrationHelper::Database::LoadFileLists() {
    std::vector<uint32_t> order(sets.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    // Within a bin dpkg chains sets in the order it first met their names.
    std::stable_sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) { return sets[a].bin < sets[b].bin; });
    std::vector<std::pair<uint32_t, Instance*>> queue;
    for (uint32_t id : order)
        for (Instance& inst : sets[id].instances) queue.emplace_back(id, &inst);

    // dpkg reads the lists in the order they lie on disk; the order decides
    // which owner of a shared path comes first, so follow it.
    struct statfs fs;
    std::string info = admindir + "/info";
    if (statfs(info.c_str(), &fs) == 0) {
        for (auto& [id, inst] : queue) {
            if (inst->status == kNotInstalled) continue;
            inst->disk_offset = -1;
            const UniqueFd fd(open(ListPath(sets[id], *inst).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
            if (!fd) continue;
            alignas(struct fiemap) unsigned char buf[sizeof(struct fiemap) + sizeof(struct fiemap_extent)] = {};
            auto* map = reinterpret_cast<struct fiemap*>(buf);
            map->fm_length = uint64_t(fs.f_bsize);
            map->fm_extent_count = 1;
            if (ioctl(fd.get(), FS_IOC_FIEMAP, map) == 0) inst->disk_offset = int64_t(map->fm_extents[0].fe_physical);
        }
        std::stable_sort(queue.begin(), queue.end(),
                         [](const auto& a, const auto& b) { return a.second->disk_offset < b.second->disk_offset; });
    }
    for (auto& [id, inst] : queue)
        if (inst->status != kNotInstalled) LoadFileList(id, inst);
}

void PolicyMigrationHelper::Database::LoadFileList(uint32_t set_id, Instance* inst) {
    std::string text;
    std::string path = ListPath(sets[set_id], *inst);
    if (!ReadWholeFile(path, kMaxListSize, &text)) {
        if (errno != ENOENT)
            AcLog(LOG_WARNING, "cannot read files list file '%s': %s", LogPrintable(path).c_str(), strerror(errno));
        return;
    }
    // dpkg gives up on a list with an empty line or without its final
    // newline; here such a line is skipped or taken as it stands.
    std::string_view all = text;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t nl = all.find('\n', pos);
        size_t end = nl == std::string_view::npos ? all.size() : nl;
        std::string_view line = all.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '/') line.remove_suffix(1);
        line = line.substr(0, line.find('\0'));
        if (line.empty()) continue;
        std::string key(SkipSlashDotSlash(line));
        auto [it, added] = node_ids.emplace(std::move(key), uint32_t(node_names.size()));
        if (added) {
            node_names.push_back(&it->first);
            node_owner.push_back(set_id);
        }
        node_owner[it->second] = set_id;
        inst->files.push_back(it->second);
    }
}

PolicyMigrationHelper::PolicyMigrationHelper() = default;
PolicyMigrationHelper::~PolicyMigrationHelper() = default;

PolicyMigrationHelper* PolicyMigrationHelper::Instance() { return InstalledSlot<PolicyMigrationHelper>::Get(); }

void PolicyMigrationHelper::OpenDb() {
    std::lock_guard<std::mutex> lock(mutex_);
    OpenLocked();
}

void PolicyMigrationHelper::OpenLocked() {
    if (opened && db_ && !db_->Outdated()) return;
    auto db = std::make_unique<Database>();
    if (opened && db_) {
        // The database that changed is the one loaded anew.
        db->admindir = db_->admindir;
    } else if (const char* dir = getenv("DPKG_ADMINDIR")) {
        // Resolved on every open, the way dpkg resolves it at start-up.
        db->admindir = dir;
    } else {
        std::string root = getenv("DPKG_ROOT") ? getenv("DPKG_ROOT") : "";
        while (!root.empty() && root.back() == '/') root.pop_back();
        db->admindir = root + "/var/lib/dpkg";
    }
    // Stamped before it is read: a change while it is read shows next time.
    db->TakeStamps();
    try {
        db->ReadStatus();
        db->LoadFileLists();
    } catch (const std::exception& e) {
        // Out of memory on a huge database: answer as if it were empty
        // until it changes.
        AcLog(LOG_ERR, "cannot load the package database: %s", e.what());
        auto empty = std::make_unique<Database>();
        empty->admindir = std::move(db->admindir);
        empty->stamps = std::move(db->stamps);
        empty->stamped_at = db->stamped_at;
        empty->settled_at = db->settled_at;
        empty->changes = std::move(db->changes);
        db = std::move(empty);
    }
    db_ = std::move(db);
    opened = true;
    ++generation_;
}

uint64_t PolicyMigrationHelper::Generation() {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        OpenLocked();
    } catch (const std::exception& e) {
        AcLog(LOG_ERR, "cannot load the package database: %s", e.what());
    }
    return generation_;
}

void PolicyMigrationHelper::CloseDb() {
    std::lock_guard<std::mutex> lock(mutex_);
    db_.reset();
    opened = false;
}

QString PolicyMigrationHelper::QueryFilePackage(const char* path) {
    if (!path) return QString();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!opened || !db_) return QString();
    std::string key(SkipSlashDotSlash(TrimSlashDot(path)));
    auto it = db_->node_ids.find(key);
    if (it == db_->node_ids.end()) return QString();
    return QString::fromStdString(db_->sets[db_->node_owner[it->second]].name);
}

void PolicyMigrationHelper::Database::BuildOwners() {
    // Counted, then filled: one array for all, each instance once per node
    // even where its list names a path twice.
    std::vector<uint32_t> count(node_names.size() + 1, 0);
    std::vector<uint32_t> seen(node_names.size(), 0);
    auto each = [&](auto&& fn) {
        uint32_t serial = 0;
        for (uint32_t set = 0; set < sets.size(); ++set)
            for (uint32_t slot = 0; slot < sets[set].instances.size(); ++slot) {
                ++serial;
                for (uint32_t node : sets[set].instances[slot].files)
                    if (seen[node] != serial) {
                        seen[node] = serial;
                        fn(node, Owner{set, slot});
                    }
            }
    };
    each([&](uint32_t node, Owner) { ++count[node + 1]; });
    for (size_t i = 1; i < count.size(); ++i) count[i] += count[i - 1];
    owner_begin = count;
    owners.resize(count.back());
    std::fill(seen.begin(), seen.end(), 0);
    each([&](uint32_t node, Owner owner) { owners[count[node]++] = owner; });
    owners_built = true;
}

// The specifiers that LookupFiles resolves to an instance listing `node`:
// the bare name when that instance is its package's only installed one
// (more than one makes the bare name ambiguous), and "name:ARCH" when no
// later slot of the package has the same architecture. Only installed
// instances have lists.
void PolicyMigrationHelper::Database::AddSpecifiersListing(uint32_t node, std::vector<std::string>* specifiers) const {
    for (uint32_t i = owner_begin[node]; i < owner_begin[node + 1]; ++i) {
        const Set& set = sets[owners[i].set];
        const Instance& inst = set.instances[owners[i].slot];
        size_t installed = 0;
        bool lastOfArch = true;
        for (size_t slot = 0; slot < set.instances.size(); ++slot) {
            installed += set.instances[slot].status != kNotInstalled;
            if (slot > owners[i].slot && set.instances[slot].arch == inst.arch) lastOfArch = false;
        }
        if (installed == 1) specifiers->push_back(set.name);
        if (lastOfArch && !inst.arch.empty()) specifiers->push_back(set.name + ":" + inst.arch);
    }
}

std::vector<std::string> PolicyMigrationHelper::QueryPathPackages(const char* path) {
    std::vector<std::string> specifiers;
    // A listed path is "/" followed by its node's name, exactly.
    if (!path || path[0] != '/') return specifiers;
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        OpenLocked();
        if (!db_) return specifiers;
        auto node = db_->node_ids.find(path + 1);
        if (node == db_->node_ids.end()) return specifiers;
        if (!db_->owners_built) db_->BuildOwners();
        db_->AddSpecifiersListing(node->second, &specifiers);
    } catch (const std::exception& e) {
        AcLog(LOG_ERR, "package owner lookup failed: %s", e.what());
        specifiers.clear();
    }
    return specifiers;
}

std::string PackageSpecifierKey(const std::string& package) {
    PackageQuery parsed;
    try {
        if (!ParsePackageQuery(package, &parsed, nullptr)) return std::string();
    } catch (const std::exception&) {
        return std::string();
    }
    return AsciiLower(parsed.name) + (parsed.has_arch ? ":" + parsed.arch : std::string());
}

bool PolicyMigrationHelper::LookupFiles(const char* package, std::vector<std::string>* files) {
    std::string query_text = package ? package : "";
    PackageQuery wanted;
    std::string error;
    const Database::Set* set = nullptr;
    const Database::Instance* inst = nullptr;
    if (ParsePackageQuery(query_text, &wanted, &error)) {
        set = db_->FindSet(wanted.name);
        if (set && wanted.has_arch) {
            for (const auto& s : set->instances)
                if (s.arch == wanted.arch) inst = &s;
        } else if (set) {
            int installed = 0;
            for (const auto& s : set->instances)
                if (s.status != kNotInstalled) {
                    inst = &s;
                    ++installed;
                }
            if (installed > 1)
                error = "ambiguous package name '" + wanted.name + "' with more than one installed instance";
        }
    }
    if (!error.empty()) {
        AcLog(LOG_ERR, "needs a valid package name but '%s' is not: %s", LogPrintable(query_text, 250).c_str(),
              LogPrintable(error, 1024).c_str());
        return false;
    }
    if (!inst || inst->status == kNotInstalled) return false;
    if (inst->files.empty()) {
        std::string name = set->name;
        std::string_view native = NativeArch();
        if (!inst->arch.empty() && (inst->multiarch_same || (inst->arch != native && inst->arch != "all")))
            name += ":" + inst->arch;
        AcLog(LOG_ERR, "Package '%s' does not contain any files (!)\n", name.c_str());
        return false;
    }
    files->reserve(inst->files.size());
    for (uint32_t id : inst->files) files->push_back(db_->NodeName(id));
    return true;
}

std::vector<std::string> PolicyMigrationHelper::QueryPackageFiles(const char* package) {
    std::vector<std::string> files;
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        OpenLocked();
        if (db_) LookupFiles(package, &files);
    } catch (const std::exception& e) {
        AcLog(LOG_ERR, "package file lookup failed: %s", e.what());
        files.clear();
    }
    return files;
}

std::vector<std::string> PolicyMigrationHelper::QueryPackageFileList(const char* package) {
    std::vector<std::string> files;
    try {
        const std::string name = package ? package : "";
        uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            OpenLocked();
            auto kept = db_->programs.find(name);
            if (kept != db_->programs.end()) return kept->second;
            // What is not kept is looked up (and logged) each time.
            if (!LookupFiles(package, &files)) return {};
            generation = generation_;
        }
        // The files are tested outside the lock: other threads need not wait on disk.
        files.erase(
            std::remove_if(files.begin(), files.end(), [](const std::string& f) { return !is_elf_file(f.c_str()); }),
            files.end());
        std::lock_guard<std::mutex> lock(mutex_);
        if (opened && db_ && generation_ == generation) {
            if (db_->programs.size() >= kMaxKeptLists) db_->programs.clear();
            db_->programs.emplace(name, files);
        }
    } catch (const std::exception& e) {
        AcLog(LOG_ERR, "package file lookup failed: %s", e.what());
        files.clear();
    }
    return files;
}

bool IsValidPackageName(const char* wanted, std::string* error) {
    PackageQuery parsed;
    std::string text = wanted ? wanted : "";
    try {
        return ParsePackageQuery(text, &parsed, error);
    } catch (const std::exception&) {
        return false;
    }
}

int is_elf_file(const char* path) {
    if (!path || strstr(path, ".so")) return 0;
    // Only regular files are opened: opening a FIFO would block and opening
    // a device node can have side effects.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    const UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) return 0;
    unsigned char magic[4];
    size_t got = 0;
    if (fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
        while (got < sizeof(magic)) {
            ssize_t n = read(fd.get(), magic + got, sizeof(magic) - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
    }
    return got == 4 && magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F' ? 1 : 0;
}
