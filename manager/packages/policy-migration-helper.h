// Reads the Debian package database in-process: which package owns a file,
// which files a package has. The database is dpkg's own: the status file
// (with its pending updates journal) and the installed file lists
// info/NAME.list and info/NAME:ARCH.list below the admin folder, which is
// $DPKG_ADMINDIR, else $DPKG_ROOT/var/lib/dpkg, as dpkg itself resolves it.
// Once open, the database is loaded anew when it changes on disk: whatever
// opens it (OpenDb, the package queries, Generation) first compares the
// status file, the journal folder and the info folder with what they were
// at the load. QueryFilePackage answers from the database as it is open.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class PolicyMigrationHelper {
public:
    // The one the service object installed (installed.h); null when none is.
    static PolicyMigrationHelper* Instance();
    PolicyMigrationHelper();
    ~PolicyMigrationHelper();

    // Loads the status and every installed file list, once per open and
    // again when the database has changed since.
    void OpenDb();
    void CloseDb();
    // The name (without ":ARCH") of the package that owns `path`, or "".
    // The database must be open.
    QString QueryFilePackage(const char* path);
    // The executable files of `package`, in the package's file-list order.
    // Opens the database when it is closed and leaves it open. The answer
    // is kept until the database is loaded anew.
    std::vector<std::string> QueryPackageFileList(const char* package);
    // Which load of the database answers: it moves whenever the database is
    // loaded (anew). Opens the database, or loads it anew, as a query does;
    // an answer taken under one value holds as long as this returns it.
    uint64_t Generation();
    // Every path `package` lists, as `dpkg -L` prints them (diversion notes
    // aside); same lookup and log lines as QueryPackageFileList.
    std::vector<std::string> QueryPackageFiles(const char* package);
    // The other way round: the package specifiers whose QueryPackageFiles
    // lists `path` exactly, as PackageSpecifierKey writes them. A package
    // given by its bare name and by "name:ARCH" is named both ways; one with
    // several installed instances only with its architecture. Opens the
    // database when it is closed and leaves it open.
    std::vector<std::string> QueryPathPackages(const char* path);

    // Legacy file-protection rules to records, and old ".json" file names to
    // current ones; defined in policy-migration.cpp.
    void MigrateAll();
    int Migrate(const QString& name);
    static void RenameConfigFileExtend();

private:
    struct Database;

    PolicyMigrationHelper(const PolicyMigrationHelper&) = delete;
    PolicyMigrationHelper& operator=(const PolicyMigrationHelper&) = delete;

    void OpenLocked();
    bool LookupFiles(const char* package, std::vector<std::string>* files);

    std::mutex mutex_;
    bool opened = false;
    uint64_t generation_ = 0;
    std::unique_ptr<Database> db_;
};

// `package`, a specifier as QueryPackageFiles takes it, in the one form
// QueryPathPackages answers with: the name in lower case (letter case does
// not matter to dpkg), then ":ARCH" as given. "" for a specifier that names
// no package.
std::string PackageSpecifierKey(const std::string& package);

// 1 for an executable (ELF) file, else 0.
int is_elf_file(const char* path);

// Checks a package specifier ("name" or "name:arch") by dpkg's rules for
// package and architecture names. On failure `error` (if given) receives
// dpkg's explanation, e.g. "illegal package name in specifier 'a;b': ...".
bool IsValidPackageName(const char* pkg, std::string* error = nullptr);
