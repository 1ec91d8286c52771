// The in-process reader of the Debian package database. The input is split
// at NUL bytes: the status file, a pending-updates journal entry, the info
// format file, then one file list for each package the status names (in
// order). They are put into a private admin folder (DPKG_ADMINDIR), the
// database is opened again and every named package is looked up.
//
// Beyond "no crash": package specifiers are judged the same way each time,
// and an owner reported for a listed path is a valid package name.
#include <unistd.h>

#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz-check.h"
#include "policy-migration-helper.h"

namespace fs = std::filesystem;

namespace {

const std::string kAdminDir = "/tmp/sarv-fuzz-dpkg";
constexpr size_t kMaxPackages = 8;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The names after "Package:" that can serve as a file name here.
std::vector<std::string> PackageNames(const std::string& status) {
    std::vector<std::string> names;
    for (const std::string& line : Split(status, '\n')) {
        if (line.compare(0, 8, "Package:") != 0) continue;
        std::string name = line.substr(8);
        const size_t first = name.find_first_not_of(" \t");
        const size_t last = name.find_last_not_of(" \t");
        name = first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
        bool plain = !name.empty() && name.size() <= 64;
        for (char c : name) plain = plain && (isalnum(static_cast<unsigned char>(c)) || strchr("+-.", c));
        if (plain && names.size() < kMaxPackages) names.push_back(name);
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* sandbox = getenv("SARV_SANDBOX");
    if (!sandbox || strcmp(sandbox, "1") != 0) {
        fprintf(stderr, "pkgdb_fuzz: refusing to run outside the test sandbox (tests/sandbox/sarv-sandbox)\n");
        exit(2);
    }
    setenv("DPKG_ADMINDIR", kAdminDir.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> parts = Split(std::string(reinterpret_cast<const char*>(data), size), '\0');
    std::error_code ec;
    fs::remove_all(kAdminDir, ec);
    fs::create_directories(kAdminDir + "/info");
    fs::create_directories(kAdminDir + "/updates");
    WriteFile(kAdminDir + "/status", parts[0]);
    if (parts.size() > 1) WriteFile(kAdminDir + "/updates/0001", parts[1]);
    if (parts.size() > 2) WriteFile(kAdminDir + "/info/format", parts[2]);
    const std::vector<std::string> names = PackageNames(parts[0]);
    for (size_t i = 0; i < names.size() && i + 3 < parts.size(); ++i) {
        WriteFile(kAdminDir + "/info/" + names[i] + ".list", parts[i + 3]);
        WriteFile(kAdminDir + "/info/" + names[i] + ":amd64.list", parts[i + 3]);
    }

    PolicyMigrationHelper* db = PolicyMigrationHelper::Instance();
    db->CloseDb();
    db->OpenDb();
    std::vector<std::string> wanted = names;
    wanted.push_back(parts[0].substr(0, 80));
    for (const auto& name : names) wanted.push_back(name + ":amd64");
    for (const std::string& package : wanted) {
        std::string why1, why2;
        const bool valid = IsValidPackageName(package.c_str(), &why1);
        FUZZ_CHECK(valid == IsValidPackageName(package.c_str(), &why2) && why1 == why2, package);
        for (const std::string& path : db->QueryPackageFiles(package.c_str())) {
            const QString owner = db->QueryFilePackage(path.c_str());
            if (!owner.isEmpty())
                FUZZ_CHECK(IsValidPackageName(owner.toStdString().c_str()), "owner " + owner.toStdString());
        }
    }
    for (size_t i = 3; i < parts.size(); ++i)
        for (const std::string& line : Split(parts[i], '\n')) db->QueryFilePackage(line.c_str());
    return 0;
}
