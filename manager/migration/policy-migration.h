// Conversion of the control center's legacy file-protection profiles into
// access-control records, and of old ".json" configuration file names into
// the current ones. The entry points are members of PolicyMigrationHelper
// (policy-migration-helper.h): MigrateAll, Migrate, RenameConfigFileExtend.
#pragma once

#include <string>

#include "policy-migration-helper.h"

// Gives every loadable ".json" record file below `dir` the file name of its
// record inside the tree `root`. A file whose new name is taken keeps its
// old one: an existing configuration file is never replaced.
void RecuriveRenameFolderExtend(std::string root, std::string dir);
