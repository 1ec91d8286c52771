// The file names of records. The input is a record name (any bytes); it is
// also taken as a file name found in a record folder.
//
// A record's file is FOLDER "/" ENCODED-NAME EXTENSION, ENCODED-NAME being
// the name with every byte outside A-Z a-z 0-9 "-_.+@,=:" written as %XX
// (and "%", "~" and a leading "." always), "%" for the empty name, and an
// encoding longer than 200 bytes cut to at most 150 bytes plus "~" and the
// SHA-256 of the name. The properties: the file name is one path component
// that stays in its folder and is recognised as a record of its kind, and
// unless it was shortened, decoding it by those rules gives the name back.
#include <cstdint>
#include <string>

#include "configfile-helper.h"
#include "fuzz-check.h"

namespace {

constexpr size_t kMaxPlain = 200;
constexpr size_t kMaxPrefix = 150;
constexpr size_t kDigestSize = 64;

bool IsPlain(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == '+' || c == '@' || c == ',' || c == '=' || c == ':';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The name an unshortened encoding stands for; false when `encoded` is not
// something the encoder writes (bad escape, a byte that should have been
// escaped, an escape that should not have been). So a true result means the
// encoding is the canonical one of the result.
bool DecodeName(const std::string& encoded, std::string& name) {
    name.clear();
    if (encoded == "%") return true;
    if (encoded.empty()) return false;
    for (size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c != '%') {
            if (!IsPlain(static_cast<unsigned char>(c)) || (i == 0 && c == '.')) return false;
            name.push_back(c);
            continue;
        }
        if (i + 2 >= encoded.size()) return false;
        const int hi = HexValue(encoded[i + 1]);
        const int lo = HexValue(encoded[i + 2]);
        if (hi < 0 || lo < 0) return false;
        const auto byte = static_cast<unsigned char>(hi * 16 + lo);
        // A plain byte is never escaped, except a leading ".".
        if (IsPlain(byte) && !(name.empty() && byte == '.')) return false;
        name.push_back(static_cast<char>(byte));
        i += 2;
    }
    return true;
}

bool IsLowerHex(const std::string& s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// The whole escaping of `name`, never shortened.
std::string FullEncoding(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    if (name.empty()) return "%";
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (IsPlain(c) && !(i == 0 && c == '.')) {
            out.push_back(static_cast<char>(c));
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

void CheckComponent(const std::string& file) {
    FUZZ_CHECK(!file.empty() && file.size() <= 255, "length " + std::to_string(file.size()));
    FUZZ_CHECK(file.find('/') == std::string::npos, file);
    FUZZ_CHECK(file.find('\0') == std::string::npos, file);
    FUZZ_CHECK(file != "." && file != "..", file);
    // Hidden files are skipped when folders are loaded.
    FUZZ_CHECK(file[0] != '.', file);
}

// Checks the file name of `record`, named `name`, and returns its stem.
template <typename T>
std::string CheckFileName(const T& record, const std::string& name, const std::string& extension,
                          AcConfigType kind) {
    FUZZ_CHECK(GetConfigName(record) == name, "GetConfigName");
    const std::string folder = GetConfigFolder(record);
    const std::string path = GetConfigFileName(record);
    FUZZ_CHECK(path.compare(0, folder.size() + 1, folder + "/") == 0, path);
    const std::string file = path.substr(folder.size() + 1);
    CheckComponent(file);
    FUZZ_CHECK(file.size() > extension.size() &&
                   file.compare(file.size() - extension.size(), extension.size(), extension) == 0,
               file);
    // Found again by the watcher in each of the three trees.
    for (const std::string& root : {kUsrShareFolder, kEtcFolder, kVarLibFolder})
        FUZZ_CHECK(ParseConfigType(root + path) == kind, root + path);
    return file.substr(0, file.size() - extension.size());
}

void CheckStem(const std::string& stem, const std::string& name) {
    FUZZ_CHECK(stem == EncodeConfigName(name), stem);
    const std::string full = FullEncoding(name);
    if (full.size() <= kMaxPlain) {
        FUZZ_CHECK(stem == full, stem + " instead of " + full);
        std::string decoded;
        FUZZ_CHECK(DecodeName(stem, decoded), stem);
        FUZZ_CHECK(decoded == name, stem);
        return;
    }
    // Shortened: a prefix of the full encoding cut between escapes, "~", and
    // the digest of the name.
    FUZZ_CHECK(stem.size() > kDigestSize + 1, stem);
    const size_t tilde = stem.size() - kDigestSize - 1;
    FUZZ_CHECK(stem[tilde] == '~', stem);
    const std::string prefix = stem.substr(0, tilde);
    FUZZ_CHECK(prefix.size() <= kMaxPrefix && prefix.size() >= kMaxPrefix - 2, stem);
    FUZZ_CHECK(full.compare(0, prefix.size(), prefix) == 0, stem);
    std::string decodedPrefix;
    FUZZ_CHECK(DecodeName(prefix, decodedPrefix), "cut inside an escape: " + stem);
    FUZZ_CHECK(name.compare(0, decodedPrefix.size(), decodedPrefix) == 0, stem);
    FUZZ_CHECK(IsLowerHex(stem.substr(tilde + 1)), stem);
    // The prefix holds no "~": the digest is found by the last one.
    FUZZ_CHECK(prefix.find('~') == std::string::npos, stem);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);

    ModeData mode;
    mode.object = name;
    const std::string stem = CheckFileName(mode, name, kModeFileExtension, ModeType);
    CheckStem(stem, name);

    EntityInfoData subject;
    subject.name = name;
    subject.type = kEntityTypeSubject;
    FUZZ_CHECK(CheckFileName(subject, name, kSubjectFileExtension, EntityType) == stem, "subject stem");
    EntityInfoData object = subject;
    object.type = size % 2 ? kEntityTypeObject : std::string();
    FUZZ_CHECK(CheckFileName(object, name, kObjectFileExtension, EntityType) == stem, "object stem");

    PolicyData policy;
    policy.policies.push_back(ACPolicy{name, {PolicyObject{"camera", {"allow"}, 0, 0}}});
    policy.policies.push_back(ACPolicy{"second", {}});
    FUZZ_CHECK(CheckFileName(policy, name, kPolicyFileExtension, PolicyType) == stem, "policy stem");

    // The input as a file name found in a folder: the decoder accepts it
    // only when it is the canonical encoding of what it decodes to.
    std::string decoded;
    if (DecodeName(name, decoded) && name.size() <= kMaxPlain) FUZZ_CHECK(EncodeConfigName(decoded) == name, name);
    // And as any path the watcher may be handed.
    ParseConfigType(name);
    ParseConfigType("/etc/olm/sarv/mode.d/" + name);
    return 0;
}
