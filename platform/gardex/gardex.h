// libgardex: the file-protection library.
//
// A protection profile says which programs may touch one path. The library
// keeps one profile per protected path in "/etc/gardex.d/", in a file named
// by the 32 lowercase hexadecimal digits of the MD5 of the path without its
// trailing "/". The file holds the profile as one line of JSON whose first
// bytes are the programs of the first rule, so a reader that looks only at
// the head of the file still sees who is allowed.
//
// fa_update() asks the enforcement side to apply the installed profiles. The
// enforcement side here is a stamp file, "/var/lib/gardex/update-stamp",
// whose "generation" line counts the updates, and a log line.
//
// Results are 0 or a negative errno; nothing here throws. A profile file
// that cannot be read or decoded is treated as absent.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#define GARDEX_EXPORT __attribute__((visibility("default")))

inline const std::string kGardexProfileFolder = "/etc/gardex.d/";
inline const std::string kGardexUpdateStamp = "/var/lib/gardex/update-stamp";

struct FaRule {
    int32_t type = 0;
    std::vector<int32_t> ids;
    std::list<std::string> programs;
    int32_t access = 0;
};

struct FaProfile {
    std::string file;     // the protected path; empty for "no profile"
    std::string daemon;   // the program that owns the profile
    std::string version;
    int32_t flag = 0;
    std::vector<FaRule> rules;
};

// Installs or replaces the profile of `profile.file` (an absolute path).
GARDEX_EXPORT int fa_set_profile(const FaProfile& profile);
// Removes the profile of `file`; a path without a profile is not an error.
GARDEX_EXPORT int fa_del_profile(const std::string& file);
// Makes the enforcement side apply the installed profiles.
GARDEX_EXPORT int fa_update();
// The profile of `path`, or a profile with an empty `file` when there is
// none or it cannot be read.
GARDEX_EXPORT FaProfile fa_get_profile(const std::string& path);
// Every path that has a readable profile, in ascending byte order.
GARDEX_EXPORT std::list<std::string> fa_get_files();

// The profile file that holds the profile of `path`.
GARDEX_EXPORT std::string fa_profile_path(const std::string& path);
