// The file names of records. The input is a record name (any bytes); it is also taken as a file name found
// in a record folder. A record's file is FOLDER "/" ENCODED-NAME EXTENSION. ENCODED-NAME is the name with
// every byte outside A-Z a-z 0-9 "-_.+@,=:" written as %XX ("%", "~" and a leading "." always), "%" for the
// empty name; an encoding longer than 200 bytes is cut to at most 150 bytes plus "~" and the SHA-256 of the
// name. The properties: the file name is one path component that stays in its folder and is recognised as a
// record of its kind, and the name is its reference escaping (which is one-to-one) unless it had to be shortened.
#include <cctype>
#include <cstring>

#include "configfile-helper.h"
#include "fuzz-check.h"

namespace {

constexpr size_t kMaxPlain = 200, kMaxPrefix = 150, kDigestSize = 64;

std::string ReferenceEscaping(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out = name.empty() ? "%" : "";
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool plain = isalnum(c) || (c == '.' && i > 0) || (c != 0 && strchr("-_+@,=:", c) != nullptr);
        out += plain ? std::string(1, name[i]) : std::string{'%', hex[c >> 4], hex[c & 15]};
    }
    return out;
}

template <typename T>
std::string CheckFileName(const T& record, const std::string& name, const std::string& extension, AcConfigType kind) {
    FUZZ_CHECK(GetConfigName(record) == name, "GetConfigName");
    const std::string folder = GetConfigFolder(record), path = GetConfigFileName(record);
    FUZZ_CHECK(path.compare(0, folder.size() + 1, folder + "/") == 0, path);
    const std::string file = path.substr(folder.size() + 1);
    // One path component, not hidden: hidden files (".", ".." among them) are skipped when folders are loaded.
    FUZZ_CHECK(!file.empty() && file[0] != '.' && file.size() <= 255 &&
                   file.find_first_of(std::string("/\0", 2)) == std::string::npos, file);
    FUZZ_CHECK(file.size() > extension.size() && file.substr(file.size() - extension.size()) == extension, file);
    // Found again by the watcher in each of the three trees.
    for (const std::string& root : {kUsrShareFolder, kEtcFolder, kVarLibFolder})
        FUZZ_CHECK(ParseConfigType(root + path) == kind, root + path);
    return file.substr(0, file.size() - extension.size());
}

void CheckStem(const std::string& stem, const std::string& name) {
    FUZZ_CHECK(stem == EncodeConfigName(name), stem);
    const std::string full = ReferenceEscaping(name);
    if (full.size() <= kMaxPlain) {
        FUZZ_CHECK(stem == full, stem + " instead of " + full);
        return;
    }
    // Shortened: a prefix of the full escaping cut between escapes, "~", and the digest of the name. The
    // prefix holds no "~" (it is escaped), so the last one finds the digest.
    FUZZ_CHECK(stem.size() > kDigestSize + 1, stem);
    const size_t tilde = stem.size() - kDigestSize - 1;
    const std::string prefix = stem.substr(0, tilde);
    FUZZ_CHECK(stem[tilde] == '~' && prefix.find('~') == std::string::npos, stem);
    FUZZ_CHECK(prefix.size() <= kMaxPrefix && prefix.size() >= kMaxPrefix - 2, stem);
    FUZZ_CHECK(full.compare(0, prefix.size(), prefix) == 0, stem);
    const size_t escape = prefix.rfind('%');
    FUZZ_CHECK(escape == std::string::npos || escape + 3 <= prefix.size(), "cut inside an escape: " + stem);
    FUZZ_CHECK(stem.find_first_not_of("0123456789abcdef", tilde + 1) == std::string::npos, stem);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    ModeData mode;
    mode.object = name;
    const std::string stem = CheckFileName(mode, name, kModeFileExtension, ModeType);
    CheckStem(stem, name);

    EntityInfoData entity;
    entity.name = name;
    for (const std::string& type : {kEntityTypeSubject, kEntityTypeObject, std::string()}) {  // the last an object
        entity.type = type;
        const std::string& extension = type == kEntityTypeSubject ? kSubjectFileExtension : kObjectFileExtension;
        FUZZ_CHECK(CheckFileName(entity, name, extension, EntityType) == stem, "entity stem, type " + type);
    }

    PolicyData policy;
    policy.policies.push_back(ACPolicy{name, {PolicyObject{"camera", {"allow"}, 0, 0}}});
    policy.policies.push_back(ACPolicy{"second", {}});
    FUZZ_CHECK(CheckFileName(policy, name, kPolicyFileExtension, PolicyType) == stem, "policy stem");

    ParseConfigType("/etc/olm/sarv/mode.d/" + name);  // any file the watcher may find in a record folder
    return 0;
}
