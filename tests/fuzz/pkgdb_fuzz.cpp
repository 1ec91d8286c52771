// The in-process reader of the Debian package database. The input is split at NUL bytes: the status file, a
// pending-updates journal entry, the info format file, then one file list for each package the status names
// (in order). They go into a private admin folder (DPKG_ADMINDIR), the database is opened again and every
// named package is looked up.
//
// Beyond "no crash": package specifiers are judged the same way each time, and an owner reported for a
// listed path is a valid package name.
#include <QString>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "fuzz-check.h"
#include "installed.h"
#include "policy-migration-helper.h"

namespace {

const std::string kAdminDir = "/tmp/sarv-fuzz-dpkg";

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(kAdminDir + path, std::ios::binary | std::ios::trunc) << bytes;
}

// The first eight names after "Package:" that can serve as a file name here.
std::vector<std::string> PackageNames(const std::string& status) {
    std::vector<std::string> names;
    for (const std::string& line : Split(status, '\n')) {
        const size_t first = line.find_first_not_of(" \t", 8), last = line.find_last_not_of(" \t");
        if (line.compare(0, 8, "Package:") != 0 || first > last || last - first >= 64 || names.size() == 8) continue;
        const std::string name = line.substr(first, last - first + 1);
        auto plain = [](unsigned char c) { return isalnum(c) || c == '+' || c == '-' || c == '.'; };
        if (std::all_of(name.begin(), name.end(), plain)) names.push_back(name);
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FUZZ_CHECK(getenv("SARV_SANDBOX"), "pkgdb_fuzz runs only in the test sandbox (tests/sandbox/sarv-sandbox)");
    setenv("DPKG_ADMINDIR", kAdminDir.c_str(), 1);
    static Installed<PolicyMigrationHelper> db;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> parts = Split(std::string(reinterpret_cast<const char*>(data), size), '\0');
    std::filesystem::remove_all(kAdminDir);
    std::filesystem::create_directories(kAdminDir + "/info");
    std::filesystem::create_directories(kAdminDir + "/updates");
    const char* const files[] = {"/status", "/updates/0001", "/info/format"};
    for (size_t i = 0; i < parts.size() && i < 3; ++i) WriteFile(files[i], parts[i]);
    const std::vector<std::string> names = PackageNames(parts[0]);
    for (size_t i = 0; i < names.size() && i + 3 < parts.size(); ++i) {
        WriteFile("/info/" + names[i] + ".list", parts[i + 3]);
        WriteFile("/info/" + names[i] + ":amd64.list", parts[i + 3]);
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
        FUZZ_CHECK(IsValidPackageName(package.c_str(), &why2) == valid && why1 == why2, package);
        for (const std::string& path : db->QueryPackageFiles(package.c_str())) {
            const QString owner = db->QueryFilePackage(path.c_str());
            FUZZ_CHECK(owner.isEmpty() || IsValidPackageName(owner.toStdString().c_str()),
                       "owner " + owner.toStdString());
        }
    }
    for (size_t i = 3; i < parts.size(); ++i)
        for (const std::string& line : Split(parts[i], '\n')) db->QueryFilePackage(line.c_str());
    return 0;
}
