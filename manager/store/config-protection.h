// Protection of the three configuration trees by the file-protection
// service, and keeping that service enabled exactly when profiles exist.
// ConfigManager::ProtectConfig() (config-manager.h) drives the checks below.
#pragma once

#include <list>
#include <string>

// Installs the profile of `file`: `programs` get full access, every other
// program read access. Returns the library's result.
int protect_profile(const std::string& file, const std::list<std::string>& programs, const std::string& daemon,
                    int type);

// 1 when the /var/lib or /etc tree holds a regular file at any depth, or the
// policy folder of the /usr/share tree does; else 0.
int is_config_need_protect();
// 1 when the first existing tree profile (/var/lib, /etc, /usr/share) names
// the suite's own maintenance programs; else 0.
int is_config_already_protect();
// 1 when none of the three tree profiles exists; else 0.
int is_config_already_unprotect();
// 1 when the first 256 bytes of the file `profile` name both
// "/usr/sbin/stazictl" and "/usr/bin/pm_dpkg"; else 0.
int is_config_contains_sarvd(const char* profile);
// Regular files below `dir` (symbolic links not followed), counted up to 2;
// -1 when `dir` cannot be opened.
int is_dir_contains_files(const char* dir);

// The running executable's path, or "".
std::string get_self_exe_path();

// Enables and starts the file-protection service when profiles exist and
// disables it when none do. Returns 0 when nothing had to change, the wait
// status of the last systemctl run, or -1 when systemctl could not be
// started (the service is then left as it is).
int set_and_start_service_status();
