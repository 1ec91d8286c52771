// libsarv-ac: reading, writing and naming configuration files.
#include "configfile-helper.h"

#include <dirent.h>
#include <fcntl.h>
#include <regex.h>
#include <sha2.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

#include "acjson.h"

using nlohmann::json;

namespace {

constexpr size_t kMaxPlainEncoding = 200;
constexpr size_t kHashedPrefix = 150;
constexpr size_t kMaxPatternSize = 1024;
// regcomp copies the operand of a repeat once per repetition, so nested or
// large counts multiply: ((a{1,100}){1,100}){1,100} took seconds and a GiB.
// 4096 copies take a few milliseconds and megabytes.
constexpr size_t kMaxPatternCost = 4096;

// ---- decoding -------------------------------------------------------------

// Each getter leaves `out` alone when the key is missing and fails only on a
// value of the wrong type.
bool GetString(const json& j, const char* key, std::string& out) {
    auto it = j.find(key);
    if (it == j.end()) return true;
    if (!it->is_string()) return false;
    out = it->get_ref<const std::string&>();
    return true;
}

bool GetStringList(const json& j, const char* key, std::vector<std::string>& out) {
    auto it = j.find(key);
    if (it == j.end()) return true;
    if (!it->is_array()) return false;
    std::vector<std::string> list;
    list.reserve(it->size());
    for (const auto& v : *it) {
        if (!v.is_string()) return false;
        list.push_back(v.get_ref<const std::string&>());
    }
    out = std::move(list);
    return true;
}

bool GetU64(const json& j, const char* key, uint64_t& out) {
    auto it = j.find(key);
    if (it == j.end()) return true;
    if (!it->is_number_unsigned()) return false;
    out = it->get<uint64_t>();
    return true;
}

bool Decode(const json& j, ModeData& m) {
    return j.is_object() && GetString(j, "object", m.object) && GetString(j, "mode", m.mode) &&
           GetString(j, "version", m.version);
}

bool Decode(const json& j, EntityAttrs& a) {
    return j.is_object() && GetString(j, "dbus_type", a.dbus_type) &&
           GetString(j, "dbus_msg_type", a.dbus_msg_type) && GetString(j, "dbus_destination", a.dbus_destination) &&
           GetString(j, "dbus_path", a.dbus_path) && GetString(j, "dbus_interface", a.dbus_interface) &&
           GetStringList(j, "dbus_members", a.dbus_members) &&
           GetString(j, "veltrin_applicationid", a.veltrin_applicationid) &&
           GetString(j, "dbus_path_namespace", a.dbus_path_namespace) && GetStringList(j, "exes", a.exes) &&
           GetString(j, "dbus_sender", a.dbus_sender) && GetString(j, "dbus_eavesdrop", a.dbus_eavesdrop) &&
           GetStringList(j, "dbus_args", a.dbus_args) && GetStringList(j, "exclude_exes", a.exclude_exes) &&
           GetStringList(j, "additional_exes", a.additional_exes);
}

bool Decode(const json& j, EntityInfoData& e) {
    if (!j.is_object()) return false;
    auto attrs = j.find("attrs");
    if (attrs != j.end() && !Decode(*attrs, e.attrs)) return false;
    return GetString(j, "name", e.name) && GetString(j, "type", e.type) && GetString(j, "subtype", e.subtype) &&
           GetStringList(j, "tags", e.tags) && GetString(j, "owner", e.owner) && GetString(j, "level", e.level) &&
           GetString(j, "sensitivity", e.sensitivity) &&
           GetStringList(j, "available_operations", e.available_operations) &&
           GetString(j, "description", e.description) && GetString(j, "description_zh_CN", e.description_zh_CN) &&
           GetString(j, "version", e.version);
}

bool Decode(const json& j, PolicyObject& o) {
    return j.is_object() && GetString(j, "object", o.object) && GetStringList(j, "operations", o.operations) &&
           GetU64(j, "valid_period", o.valid_period) && GetU64(j, "timestamp", o.timestamp);
}

bool Decode(const json& j, ACPolicy& p) {
    if (!j.is_object()) return false;
    auto subject = j.find("subject");
    if (subject != j.end() && !(subject->is_object() && GetString(*subject, "name", p.subject))) return false;
    auto objects = j.find("objects");
    if (objects == j.end()) return true;
    if (!objects->is_array()) return false;
    for (const auto& v : *objects) {
        PolicyObject o;
        if (!Decode(v, o)) return false;
        p.objects.push_back(std::move(o));
    }
    return true;
}

bool Decode(const json& j, PolicyData& p) {
    if (!j.is_object() || !GetString(j, "version", p.version)) return false;
    auto policies = j.find("policies");
    if (policies == j.end()) return true;
    if (!policies->is_array()) return false;
    // The document's list replaces the one already there, like every other list.
    std::vector<ACPolicy> list;
    for (const auto& v : *policies) {
        ACPolicy a;
        if (!Decode(v, a)) return false;
        list.push_back(std::move(a));
    }
    p.policies = std::move(list);
    return true;
}

template <typename T>
int DecodeText(const std::string& text, T& out) {
    try {
        json j = json::parse(text, nullptr, false);
        if (j.is_discarded()) return -EINVAL;
        T record = out;
        if (!Decode(j, record)) return -EINVAL;
        out = std::move(record);
        return 0;
    } catch (...) {
        // The parser is used without exceptions; this only guards allocation failures.
        return -EINVAL;
    }
}

int ReadWholeFile(const std::string& path, std::string& text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    struct stat st {};
    if (fstat(fd, &st) < 0) {
        int r = -errno;
        close(fd);
        return r;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return -EINVAL;
    }
    if (static_cast<size_t>(st.st_size) > kMaxConfigFileSize) {
        close(fd);
        return -EFBIG;
    }
    text.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int r = -errno;
            close(fd);
            return r;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxConfigFileSize) {
            close(fd);
            return -EFBIG;
        }
    }
    close(fd);
    return 0;
}

// Plain reads: the PID information service asks for a process's cgroup on
// every request, and a file stream costs it a buffer and several copies.
int ReadProcFile(const std::string& path, std::string& text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -ENOENT;
    text.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

// ---- writing --------------------------------------------------------------

int MakeFolders(const std::string& folder) {
    if (folder.empty()) return 0;
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
    auto slash = folder.find_last_of('/', folder.size() > 1 ? folder.size() - 2 : 0);
    if (slash != std::string::npos && slash > 0) {
        int r = MakeFolders(folder.substr(0, slash));
        if (r < 0) return r;
    }
    if (mkdir(folder.c_str(), 0755) < 0 && errno != EEXIST) return -errno;
    return 0;
}

int WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int SyncFolder(const std::string& folder) {
    int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    int r = fsync(fd) < 0 ? -errno : 0;
    close(fd);
    return r;
}

std::string FolderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int WriteFileAtomic(const std::string& path, const std::string& data) {
    std::string folder = FolderOf(path);
    int r = MakeFolders(folder);
    if (r < 0) return r;
    std::string tmp = (folder.empty() ? std::string() : folder + "/") + kTemporaryFilePrefix + "XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) return -errno;
    r = WriteAll(fd, data);
    if (r == 0 && fsync(fd) < 0) r = -errno;
    if (r == 0 && fchmod(fd, 0644) < 0) r = -errno;
    if (close(fd) < 0 && r == 0) r = -errno;
    if (r == 0 && rename(tmp.c_str(), path.c_str()) < 0) r = -errno;
    if (r < 0) {
        unlink(tmp.c_str());
        return r;
    }
    // The new file is in place and readers see it: the change has been
    // made. Only its surviving a power loss is in doubt.
    r = SyncFolder(folder);
    if (r < 0)
        syslog(LOG_WARNING, "cannot sync folder %s after writing %s: %s", folder.c_str(), path.c_str(),
               strerror(-r));
    return 0;
}

// ---- names ----------------------------------------------------------------

bool IsPlainByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == '+' || c == '@' || c == ',' || c == '=' || c == ':';
}

std::string FileNameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool HasKindExtension(const std::string& file, const ModeData&) { return EndsWith(file, kModeFileExtension); }
bool HasKindExtension(const std::string& file, const PolicyData&) { return EndsWith(file, kPolicyFileExtension); }
bool HasKindExtension(const std::string& file, const EntityInfoData&) {
    return EndsWith(file, kSubjectFileExtension) || EndsWith(file, kObjectFileExtension);
}

}  // namespace

// ---- ConfigFileHelper -----------------------------------------------------

template <typename T>
int ConfigFileHelper::LoadFromJson(const std::string& text, T& out) {
    return DecodeText(text, out);
}

template <typename T>
int ConfigFileHelper::LoadFromFile(const std::string& path, T& out) {
    std::string text;
    int r = ReadWholeFile(path, text);
    if (r < 0) return r;
    return DecodeText(text, out);
}

template <typename T>
int ConfigFileHelper::InsertFromFile(const std::string& path, ConfigCacheMap<T>& cache, T& out) {
    T record;
    int r = LoadFromFile(path, record);
    if (r != 0) return r;
    cache[GetConfigName(record)][path] = record;
    out = std::move(record);
    return 0;
}

template <typename T>
int ConfigFileHelper::LoadFromFolder(const std::string& folder, bool, ConfigCacheMap<T>& cache) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return -errno;
    std::string base = folder;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    int loaded = 0;
    while (struct dirent* ent = readdir(dir)) {
        std::string file = ent->d_name;
        if (file.empty() || file[0] == '.' || !HasKindExtension(file, T{})) continue;
        std::string path = base + "/" + file;
        struct stat st {};
        if (stat(path.c_str(), &st) < 0 || !S_ISREG(st.st_mode)) continue;
        T record;
        int r = InsertFromFile(path, cache, record);
        if (r != 0) {
            syslog(LOG_WARNING, "skipped configuration file %s: %s", path.c_str(), strerror(-r));
            continue;
        }
        ++loaded;
    }
    closedir(dir);
    return loaded;
}

template <typename T>
int ConfigFileHelper::UpdateFile(const std::string& path, const T& record) {
    try {
        return WriteFileAtomic(path, ToJsonText(record, 4) + "\n");
    } catch (...) {
        return -ENOMEM;
    }
}

int ConfigFileHelper::DeleteFile(const std::string& path) {
    if (unlink(path.c_str()) < 0) return -errno;
    SyncFolder(FolderOf(path));
    return 0;
}

#define SARV_AC_INSTANTIATE(T)                                                                                   \
    template SARV_AC_EXPORT int ConfigFileHelper::LoadFromFolder<T>(const std::string&, bool, ConfigCacheMap<T>&); \
    template SARV_AC_EXPORT int ConfigFileHelper::InsertFromFile<T>(const std::string&, ConfigCacheMap<T>&, T&);  \
    template SARV_AC_EXPORT int ConfigFileHelper::LoadFromJson<T>(const std::string&, T&);                         \
    template SARV_AC_EXPORT int ConfigFileHelper::LoadFromFile<T>(const std::string&, T&);                         \
    template SARV_AC_EXPORT int ConfigFileHelper::UpdateFile<T>(const std::string&, const T&);

SARV_AC_INSTANTIATE(ModeData)
SARV_AC_INSTANTIATE(EntityInfoData)
SARV_AC_INSTANTIATE(PolicyData)

// ---- names and kinds ------------------------------------------------------

std::string GetConfigName(const ModeData& m) { return m.object; }
std::string GetConfigName(const EntityInfoData& e) { return e.name; }
std::string GetConfigName(const PolicyData& p) { return p.policies.empty() ? std::string() : p.policies[0].subject; }

std::string EncodeConfigName(const std::string& name) {
    if (name.empty()) return "%";
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (IsPlainByte(c) && !(i == 0 && c == '.')) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    if (out.size() <= kMaxPlainEncoding) return out;

    size_t cut = kHashedPrefix;
    // Never cut inside an escape: back up to the "%" that starts it.
    for (size_t k = 1; k <= 2 && cut >= k; ++k)
        if (out[cut - k] == '%') cut -= k;
    char digest[SHA256_DIGEST_STRING_LENGTH];
    SHA256Data(reinterpret_cast<const uint8_t*>(name.data()), name.size(), digest);
    return out.substr(0, cut) + "~" + digest;
}

std::string GetConfigFolder(const ModeData&) { return kModeFolderName; }
std::string GetConfigFolder(const EntityInfoData&) { return kEntityFolderName; }
std::string GetConfigFolder(const PolicyData&) { return kPolicyFolderName; }

std::string GetConfigFileName(const ModeData& m) {
    return kModeFolderName + "/" + EncodeConfigName(GetConfigName(m)) + kModeFileExtension;
}

std::string GetConfigFileName(const EntityInfoData& e) {
    const std::string& ext = e.type == kEntityTypeSubject ? kSubjectFileExtension : kObjectFileExtension;
    return kEntityFolderName + "/" + EncodeConfigName(e.name) + ext;
}

std::string GetConfigFileName(const PolicyData& p) {
    return kPolicyFolderName + "/" + EncodeConfigName(GetConfigName(p)) + kPolicyFileExtension;
}

AcConfigType ParseConfigType(const std::string& path) {
    std::string file = FileNameOf(path);
    if (file.empty() || file[0] == '.') return UnknownType;
    std::string folder = FileNameOf(FolderOf(path));
    if (folder == kModeFolderName && EndsWith(file, kModeFileExtension)) return ModeType;
    if (folder == kPolicyFolderName && EndsWith(file, kPolicyFileExtension)) return PolicyType;
    if (folder == kEntityFolderName &&
        (EndsWith(file, kSubjectFileExtension) || EndsWith(file, kObjectFileExtension)))
        return EntityType;
    return UnknownType;
}

bool is_sarvregex(const std::string& text) {
    return text.find_first_of("*?[](){}|^$+\\") != std::string::npos;
}

namespace {

size_t CostTimes(size_t cost, size_t times) {
    return times != 0 && cost > (kMaxPatternCost + 1) / times ? kMaxPatternCost + 1 : cost * times;
}

// The end of the bracket expression that starts at `open`, or npos.
size_t BracketEnd(const std::string& text, size_t open) {
    size_t i = open + 1;
    if (i < text.size() && text[i] == '^') ++i;
    if (i < text.size() && text[i] == ']') ++i;
    for (; i < text.size(); ++i) {
        if (text[i] == '[' && i + 1 < text.size() && (text[i + 1] == ':' || text[i + 1] == '.' || text[i + 1] == '=')) {
            const size_t close = text.find(std::string(1, text[i + 1]) + "]", i + 2);
            if (close == std::string::npos) return std::string::npos;
            i = close + 1;
            continue;
        }
        if (text[i] == ']') return i;
    }
    return std::string::npos;
}

// How many copies of its operand the repeat at `i` asks for; `i` moves
// past it. 0 when no repeat stands at `i`.
size_t RepeatTimes(const std::string& text, size_t& i) {
    if (i >= text.size()) return 0;
    switch (text[i]) {
    case '*':
    case '?':
        ++i;
        return 1;
    case '+':
        ++i;
        return 2;
    case '{':
        break;
    default:
        return 0;
    }
    size_t j = i + 1;
    auto number = [&](size_t& value) {
        const size_t first = j;
        for (value = 0; j < text.size() && isdigit(static_cast<unsigned char>(text[j])); ++j)
            value = std::min<size_t>(value * 10 + (text[j] - '0'), kMaxPatternCost + 1);
        return j > first;
    };
    size_t low = 0;
    if (!number(low)) return 0;  // not an interval: regcomp judges it
    size_t high = low;
    // Unbounded: the minimum and a starred copy.
    if (j < text.size() && text[j] == ',' && (++j, !number(high))) high = low + 1;
    if (j >= text.size() || text[j] != '}') return 0;
    i = j + 1;
    return std::max<size_t>(std::max(low, high), 1);
}

}  // namespace

size_t PatternCost(const std::string& text) {
    // One entry per open group: the cost of its finished alternatives and
    // of the one being read.
    std::vector<std::pair<size_t, size_t>> groups(1, {0, 0});
    size_t i = 0;
    while (i < text.size()) {
        size_t atom = 1;
        const char c = text[i];
        if (c == '(') {
            groups.push_back({0, 0});
            ++i;
            continue;
        }
        if (c == '|') {
            groups.back().first = std::min(groups.back().first + groups.back().second, kMaxPatternCost + 1);
            groups.back().second = 0;
            ++i;
            continue;
        }
        if (c == ')' && groups.size() > 1) {
            atom = std::min(groups.back().first + groups.back().second, kMaxPatternCost + 1);
            groups.pop_back();
            ++i;
        } else if (c == '[') {
            const size_t end = BracketEnd(text, i);
            i = end == std::string::npos ? text.size() : end + 1;
        } else {
            i += c == '\\' ? 2 : 1;
        }
        for (size_t times; (times = RepeatTimes(text, i)) != 0;) atom = CostTimes(atom, times);
        groups.back().second = std::min(groups.back().second + atom, kMaxPatternCost + 1);
    }
    size_t total = 0;
    for (const auto& [done, current] : groups) total = std::min(total + done + current, kMaxPatternCost + 1);
    return total;
}

bool is_sarvregex_costly(const std::string& text) { return PatternCost(text) > kMaxPatternCost; }

bool is_sarvregex_invalid(const std::string& text) {
    if (text.size() > kMaxPatternSize || text.find('\0') != std::string::npos || is_sarvregex_costly(text))
        return false;
    regex_t re;
    if (regcomp(&re, text.c_str(), REG_EXTENDED | REG_NOSUB) != 0) return false;
    regfree(&re);
    return true;
}

std::string VeltrinApplicationIdFromCgroup(const std::string& cgroup) {
    static const std::string prefix = "app-veltrin-";
    static const std::string suffix = ".scope";
    std::istringstream in(cgroup);
    std::string line;
    while (std::getline(in, line)) {
        std::string unit = FileNameOf(line);
        if (unit.compare(0, prefix.size(), prefix) != 0 || !EndsWith(unit, suffix)) continue;
        std::string middle = unit.substr(prefix.size(), unit.size() - prefix.size() - suffix.size());
        auto dash = middle.rfind('-');
        if (dash == std::string::npos || dash == 0 || dash + 1 == middle.size()) continue;
        return middle.substr(0, dash);
    }
    return "";
}

std::string GetVeltrinApplicationId(int pid) {
    if (pid <= 0) return "";
    std::string text;
    if (ReadProcFile("/proc/" + std::to_string(pid) + "/cgroup", text) < 0) return "";
    return VeltrinApplicationIdFromCgroup(text);
}
