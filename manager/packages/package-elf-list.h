// Lists the executables of an installed Debian package by asking `dpkg -L`.
#pragma once

#include <string>
#include <vector>

// The files `dpkg -L package` prints that is_elf_file accepts, in dpkg's
// order. Empty for a package that is not installed, for a name that is not a
// valid package name (nothing is run then) and when dpkg cannot be started.
std::vector<std::string> get_pkg_elf_list(const char* package);
