// The installer command: checks one mode, entity or policy file and copies
// it into the administrator's tree, or removes one file below that tree;
// checks a file against the service's own rules, or explains an access
// decision, without changing anything.
#pragma once

#include <string>

#include "acrecords.h"

// Prints the usage; returns 0.
int ShowHelp();

// Loads `file` into `record`, checks it and installs it as
// "/etc/olm/sarv/" + its configuration file name. 0 or the error.
int set_config_file(ModeData& record, const std::string& file);
int set_config_file(EntityInfoData& record, const std::string& file);
int set_config_file(PolicyData& record, const std::string& file);

// Replaces `dst` by a copy of `src`, creating missing parent folders. The
// copy is written beside `dst` under a hidden name, synced and renamed into
// place, so `dst` is either the old file or the complete new one. `src` must
// be a regular file no larger than the library takes. 0 or the negated
// errno.
int copy_file(const char* src, const char* dst);
// The same with the bytes to install.
int install_data(const std::string& data, const char* dst);

// Loads the three trees as the service would, into this process's cache;
// warns on standard error about folders it cannot read.
void LoadServiceConfiguration();

// The whole command: parses the arguments, acts, and returns the exit status.
int RunConfiger(int argc, char* argv[]);
