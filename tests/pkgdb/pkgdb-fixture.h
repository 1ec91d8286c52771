// Helpers for the package database tests: the real dpkg as the oracle and
// scratch admin folders.
#pragma once

#include <map>
#include <string>
#include <vector>

// Runs `argv` (no shell) in the current environment, stderr discarded;
// returns its standard output.
std::string RunCommand(const std::vector<std::string>& argv);

// `dpkg -L pkg` against $DPKG_ADMINDIR: the paths it prints, without
// diversion notes; empty when dpkg refuses the name or lists nothing.
std::vector<std::string> DpkgList(const std::string& pkg);

// `dpkg -S` for plain absolute paths: path -> first owner without ":ARCH".
std::map<std::string, std::string> DpkgSearch(const std::vector<std::string>& paths);

std::vector<std::string> ElfOnly(const std::vector<std::string>& paths);

// Points DPKG_ADMINDIR (for the reader and for dpkg) at `admindir` and
// drops what the reader had loaded.
void UseAdminDir(const std::string& admindir);

// Creates parent folders as needed.
void WriteFile(const std::string& path, const std::string& text);

// A fresh folder below /tmp, removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};
