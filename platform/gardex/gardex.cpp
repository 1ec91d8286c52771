// libgardex: profile storage and the update stamp.
#include "gardex.h"

#include <dirent.h>
#include <fcntl.h>
#include <md5.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

namespace {

using ordered_json = nlohmann::ordered_json;

// A profile names a handful of programs; anything this large is not one.
constexpr size_t kMaxProfileSize = 1024 * 1024;

std::string FolderPath() { return kGardexProfileFolder.substr(0, kGardexProfileFolder.size() - 1); }

// "/a/b/" and "/a/b" are the same protected path.
std::string Normalise(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

std::string Md5Hex(const std::string& text) {
    char hex[MD5_DIGEST_STRING_LENGTH];
    MD5Data(reinterpret_cast<const uint8_t*>(text.data()), text.size(), hex);
    return std::string(hex, MD5_DIGEST_STRING_LENGTH - 1);
}

bool IsProfileName(const char* name) {
    size_t n = 0;
    for (; name[n]; ++n)
        if (!((name[n] >= '0' && name[n] <= '9') || (name[n] >= 'a' && name[n] <= 'f'))) return false;
    return n == 32;
}

// ---- files ------------------------------------------------------------------

int ReadSmallFile(const std::string& path, std::string& out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -errno;
    struct stat st {};
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kMaxProfileSize) {
        close(fd);
        return -EINVAL;
    }
    std::string text;
    char buf[4096];
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
        if (text.size() > kMaxProfileSize) {
            close(fd);
            return -EFBIG;
        }
    }
    close(fd);
    out = std::move(text);
    return 0;
}

int MakeFolder(const std::string& folder) {
    // Only the last two levels are ever missing ("/var/lib/gardex", "/etc/gardex.d").
    auto slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        std::string parent = folder.substr(0, slash);
        if (mkdir(parent.c_str(), 0755) < 0 && errno != EEXIST) return -errno;
    }
    if (mkdir(folder.c_str(), 0755) < 0 && errno != EEXIST) return -errno;
    struct stat st {};
    if (stat(folder.c_str(), &st) < 0) return -errno;
    return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
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

// Readers see the old profile or the new one, never a torn file, and a crash
// leaves at worst a hidden temporary behind.
int WriteFileAtomic(const std::string& folder, const std::string& name, const std::string& data) {
    int r = MakeFolder(folder);
    if (r < 0) return r;
    std::string tmp = folder + "/.gardex-XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) return -errno;
    r = WriteAll(fd, data);
    if (r == 0 && fchmod(fd, 0644) < 0) r = -errno;
    if (r == 0 && fsync(fd) < 0) r = -errno;
    if (close(fd) < 0 && r == 0) r = -errno;
    std::string path = folder + "/" + name;
    if (r == 0 && rename(tmp.c_str(), path.c_str()) < 0) r = -errno;
    if (r < 0) {
        unlink(tmp.c_str());
        return r;
    }
    int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return -errno;
    r = fsync(dfd) < 0 ? -errno : 0;
    close(dfd);
    return r;
}

// ---- profile text -----------------------------------------------------------

// Programs come first so that the head of the file names them.
std::string EncodeProfile(const FaProfile& p) {
    ordered_json rules = ordered_json::array();
    for (const auto& rule : p.rules) {
        ordered_json r;
        r["programs"] = rule.programs;
        r["access"] = rule.access;
        r["ids"] = rule.ids;
        r["type"] = rule.type;
        rules.push_back(std::move(r));
    }
    ordered_json j;
    j["rules"] = std::move(rules);
    j["file"] = p.file;
    j["daemon"] = p.daemon;
    j["version"] = p.version;
    j["flag"] = p.flag;
    // Strict: a path that is not UTF-8 cannot be stored faithfully.
    return j.dump(-1, ' ', false, ordered_json::error_handler_t::strict) + "\n";
}

bool GetInt32(const ordered_json& j, const char* key, int32_t& out) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_integer()) return false;
    int64_t v = it->get<int64_t>();
    if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(INT32_MAX)) return false;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}

bool GetString(const ordered_json& j, const char* key, std::string& out) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

bool DecodeRule(const ordered_json& j, FaRule& rule) {
    if (!j.is_object() || !GetInt32(j, "type", rule.type) || !GetInt32(j, "access", rule.access)) return false;
    auto ids = j.find("ids");
    auto programs = j.find("programs");
    if (ids == j.end() || !ids->is_array() || programs == j.end() || !programs->is_array()) return false;
    for (const auto& id : *ids) {
        if (!id.is_number_integer()) return false;
        int64_t v = id.get<int64_t>();
        if ((id.is_number_unsigned() && id.get<uint64_t>() > static_cast<uint64_t>(INT32_MAX)) || v < INT32_MIN ||
            v > INT32_MAX)
            return false;
        rule.ids.push_back(static_cast<int32_t>(v));
    }
    for (const auto& program : *programs) {
        if (!program.is_string()) return false;
        rule.programs.push_back(program.get<std::string>());
    }
    return true;
}

bool DecodeProfile(const std::string& text, FaProfile& out) {
    ordered_json j = ordered_json::parse(text, nullptr, false);
    if (!j.is_object()) return false;
    FaProfile p;
    if (!GetString(j, "file", p.file) || !GetString(j, "daemon", p.daemon) ||
        !GetString(j, "version", p.version) || !GetInt32(j, "flag", p.flag))
        return false;
    auto rules = j.find("rules");
    if (rules == j.end() || !rules->is_array()) return false;
    for (const auto& r : *rules) {
        FaRule rule;
        if (!DecodeRule(r, rule)) return false;
        p.rules.push_back(std::move(rule));
    }
    if (p.file.empty() || p.file[0] != '/') return false;
    out = std::move(p);
    return true;
}

// The profile stored under `name`, provided it really belongs to that name:
// a file copied under another path's name protects nothing.
bool LoadProfile(const std::string& name, FaProfile& out) {
    std::string text;
    if (ReadSmallFile(kGardexProfileFolder + name, text) < 0) return false;
    FaProfile p;
    if (!DecodeProfile(text, p) || Md5Hex(Normalise(p.file)) != name) {
        syslog(LOG_WARNING, "gardex: ignoring unreadable profile %s%s", kGardexProfileFolder.c_str(), name.c_str());
        return false;
    }
    out = std::move(p);
    return true;
}

bool IsProtectablePath(const std::string& file) {
    return !file.empty() && file[0] == '/' && file.find('\0') == std::string::npos;
}

}  // namespace

std::string fa_profile_path(const std::string& path) {
    try {
        return kGardexProfileFolder + Md5Hex(Normalise(path));
    } catch (...) {
        return std::string();
    }
}

int fa_set_profile(const FaProfile& profile) {
    if (!IsProtectablePath(profile.file)) return -EINVAL;
    try {
        std::string text = EncodeProfile(profile);
        int r = WriteFileAtomic(FolderPath(), Md5Hex(Normalise(profile.file)), text);
        if (r < 0)
            syslog(LOG_ERR, "gardex: cannot store the profile of %s: %s", profile.file.c_str(), strerror(-r));
        else
            syslog(LOG_DEBUG, "gardex: profile set for %s", profile.file.c_str());
        return r;
    } catch (const nlohmann::json::exception&) {
        return -EINVAL;
    } catch (...) {
        return -ENOMEM;
    }
}

int fa_del_profile(const std::string& file) {
    if (!IsProtectablePath(file)) return -EINVAL;
    try {
        std::string path = fa_profile_path(file);
        if (unlink(path.c_str()) < 0) {
            if (errno == ENOENT) return 0;
            int r = -errno;
            syslog(LOG_ERR, "gardex: cannot remove the profile of %s: %s", file.c_str(), strerror(-r));
            return r;
        }
        int dfd = open(FolderPath().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            fsync(dfd);
            close(dfd);
        }
        syslog(LOG_DEBUG, "gardex: profile deleted for %s", file.c_str());
        return 0;
    } catch (...) {
        return -ENOMEM;
    }
}

FaProfile fa_get_profile(const std::string& path) {
    FaProfile profile;
    try {
        if (!IsProtectablePath(path)) return profile;
        std::string name = Md5Hex(Normalise(path));
        if (LoadProfile(name, profile) && Normalise(profile.file) != Normalise(path)) profile = FaProfile();
    } catch (...) {
        profile = FaProfile();
    }
    return profile;
}

std::list<std::string> fa_get_files() {
    std::list<std::string> files;
    try {
        DIR* dir = opendir(kGardexProfileFolder.c_str());
        if (!dir) return files;
        std::vector<std::string> names;
        while (struct dirent* ent = readdir(dir))
            if (IsProfileName(ent->d_name)) names.push_back(ent->d_name);
        closedir(dir);
        std::vector<std::string> paths;
        for (const auto& name : names) {
            FaProfile p;
            if (LoadProfile(name, p)) paths.push_back(p.file);
        }
        std::sort(paths.begin(), paths.end());
        files.assign(paths.begin(), paths.end());
    } catch (...) {
        files.clear();
    }
    return files;
}

int fa_update() {
    try {
        unsigned long long generation = 0;
        std::string old;
        if (ReadSmallFile(kGardexUpdateStamp, old) == 0 && old.compare(0, 11, "generation ") == 0)
            generation = strtoull(old.c_str() + 11, nullptr, 10);
        size_t profiles = fa_get_files().size();
        std::string text = "generation " + std::to_string(generation + 1) + "\nprofiles " +
                           std::to_string(profiles) + "\n";
        auto slash = kGardexUpdateStamp.rfind('/');
        int r = WriteFileAtomic(kGardexUpdateStamp.substr(0, slash), kGardexUpdateStamp.substr(slash + 1), text);
        if (r < 0) {
            syslog(LOG_ERR, "gardex: cannot apply the profiles: %s", strerror(-r));
            return r;
        }
        syslog(LOG_INFO, "gardex: applied %zu profiles", profiles);
        return 0;
    } catch (...) {
        return -ENOMEM;
    }
}
