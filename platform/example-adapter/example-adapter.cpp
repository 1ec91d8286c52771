// An enforcement adapter that publishes what it is given.
//
// For every object it serves, each push writes the object's current mode and
// the policy entries that concern it as one JSON document into a runtime
// folder, replacing the previous one atomically, so that an enforcement
// agent (or an administrator) can read the effective rules of an object
// without asking the manager:
//
//   $SARV_AC_EXAMPLE_DIR/<object>.json   (default /run/sarv-ac-example/)
//   {"mode":{"mode":"whitelist","object":"camera","version":"1.0"},
//    "policy":{"policies":[...],"version":"1.0"},"subtype":"exe"}
//
// "mode" and "policy" use the manager's JSON documents; "subtype" is the
// object's entity subtype as the manager's entity lookup gives it ("" for an
// object without an entity). The object name becomes a file name with every
// byte outside A-Z a-z 0-9 and "-_.+@,=:" written as %XX (and a leading "."
// too), so "/home/u/doc" is "%2Fhome%2Fu%2Fdoc.json".
//
// The objects served are listed, comma-separated, in SARV_AC_EXAMPLE_OBJECTS
// when the manager loads the adapter; by default "file", which makes it
// serve every file object that has no adapter of its own.
//
// Built against the adapter kit's headers only.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "acadapter-interface.h"

namespace {

const char kDefaultFolder[] = "/run/sarv-ac-example/";
const char kDefaultObjects[] = "file";

// ---- JSON in the manager's compact form (sorted keys, no blanks) -----------------

void AppendString(std::string& out, const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 15]);
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    out.push_back('"');
}

void AppendStrings(std::string& out, const std::vector<std::string>& list) {
    out.push_back('[');
    for (size_t i = 0; i < list.size(); ++i) {
        if (i) out.push_back(',');
        AppendString(out, list[i]);
    }
    out.push_back(']');
}

void AppendMode(std::string& out, const ModeData& mode) {
    out += "{\"mode\":";
    AppendString(out, mode.mode);
    out += ",\"object\":";
    AppendString(out, mode.object);
    out += ",\"version\":";
    AppendString(out, mode.version);
    out.push_back('}');
}

void AppendPolicy(std::string& out, const PolicyData& policy) {
    out += "{\"policies\":[";
    for (size_t i = 0; i < policy.policies.size(); ++i) {
        const ACPolicy& entry = policy.policies[i];
        if (i) out.push_back(',');
        out += "{\"objects\":[";
        for (size_t k = 0; k < entry.objects.size(); ++k) {
            const PolicyObject& object = entry.objects[k];
            if (k) out.push_back(',');
            out += "{\"object\":";
            AppendString(out, object.object);
            out += ",\"operations\":";
            AppendStrings(out, object.operations);
            out += ",\"timestamp\":" + std::to_string(object.timestamp);
            out += ",\"valid_period\":" + std::to_string(object.valid_period);
            out.push_back('}');
        }
        out += "],\"subject\":{\"name\":";
        AppendString(out, entry.subject);
        out += "}}";
    }
    out += "],\"version\":";
    AppendString(out, policy.version);
    out.push_back('}');
}

// ---- files ------------------------------------------------------------------------

bool IsPlain(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string("-_.+@,=:").find(static_cast<char>(c)) != std::string::npos;
}

// A file name for any object name: never empty, hidden, or holding "/", and
// short enough for any file system.
std::string FileNameFor(const std::string& object) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < object.size(); ++i) {
        auto c = static_cast<unsigned char>(object[i]);
        if (IsPlain(c) && !(i == 0 && c == '.')) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    if (out.empty()) out = "%";
    if (out.size() > 200) {
        size_t cut = 150;
        while (cut > 0 && (out[cut - 1] == '%' || (cut > 1 && out[cut - 2] == '%'))) --cut;
        uint64_t hash = 1469598103934665603ull;  // FNV-1a over the whole name
        for (unsigned char c : object) hash = (hash ^ c) * 1099511628211ull;
        char digits[17];
        snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
        out = out.substr(0, cut) + "~" + digits;
    }
    return out + ".json";
}

int MakeFolder(const std::string& folder) {
    for (size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos != folder.size() && folder[pos] != '/') continue;
        std::string part = folder.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return -errno;
    }
    return 0;
}

int WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

class ExampleAdapter final : public AcAdapterInterface {
public:
    ExampleAdapter() {
        const char* folder = getenv("SARV_AC_EXAMPLE_DIR");
        folder_ = folder && folder[0] == '/' ? folder : kDefaultFolder;
        if (folder_.back() != '/') folder_.push_back('/');
        const char* objects = getenv("SARV_AC_EXAMPLE_OBJECTS");
        objects_ = objects ? objects : kDefaultObjects;
    }

    void SetEntityInfoGetter(EntityInfoGetter getter) override { getter_.store(getter); }

    std::list<std::string> GetObjectNames() override {
        std::list<std::string> names;
        size_t start = 0;
        while (start <= objects_.size()) {
            size_t end = objects_.find(',', start);
            if (end == std::string::npos) end = objects_.size();
            if (end > start) names.push_back(objects_.substr(start, end - start));
            start = end + 1;
        }
        return names;
    }

    int SetPolicy(const ModeData& mode, const PolicyData& policy) override {
        std::string subtype;
        if (EntityInfoGetter getter = getter_.load()) subtype = getter(mode.object).subtype;
        std::string text = "{\"mode\":";
        AppendMode(text, mode);
        text += ",\"policy\":";
        AppendPolicy(text, policy);
        text += ",\"subtype\":";
        AppendString(text, subtype);
        text += "}\n";
        return Publish(FileNameFor(mode.object), text);
    }

private:
    // Pushes come from several threads; one at a time keeps the folder tidy.
    int Publish(const std::string& file, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        int r = MakeFolder(folder_);
        if (r < 0) return r;
        const std::string target = folder_ + file;
        const std::string temp = folder_ + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(++counter_);
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) return -errno;
        r = WriteAll(fd, text);
        if (close(fd) != 0 && r == 0) r = -errno;
        if (r == 0 && rename(temp.c_str(), target.c_str()) != 0) r = -errno;
        if (r != 0) unlink(temp.c_str());
        return r;
    }

    std::string folder_;
    std::string objects_;
    std::atomic<EntityInfoGetter> getter_{nullptr};
    std::mutex mutex_;
    uint64_t counter_ = 0;
};

}  // namespace

AC_ADAPTER_EXPORT AcAdapterInterface* GetAcAdapter() {
    static ExampleAdapter adapter;
    return &adapter;
}
