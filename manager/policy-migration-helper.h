// Reads the Debian package database in-process: which package owns a file,
// which files a package has.
#pragma once

#include <QString>
#include <string>
#include <vector>

class PolicyMigrationHelper {
public:
    static PolicyMigrationHelper* Instance();
    void OpenDb();
    void CloseDb();
    // The name (without ":ARCH") of the package that owns `path`, or "".
    QString QueryFilePackage(const char* path);
    // The executable files of `package`, in the package's file-list order.
    std::vector<std::string> QueryPackageFileList(const char* package);
};

// 1 for an executable (ELF) file, else 0.
int is_elf_file(const char* path);
