// Which subject entities claim which executables, gathered from the entity
// map in one pass, so that finding the subject of an executable takes a few
// lookups however many entities there are.
#pragma once

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "acrecords.h"
#include "configfile-helper.h"

// An entity's record as a subject: its file records merged in path order,
// up to (not including) the first that calls it an object.
EntityInfoData SubjectRecord(const std::map<std::string, EntityInfoData>& files);

class SubjectIndex {
public:
    // A package subject without executables of its own: the package
    // database's list of the package is its list.
    struct DatabasePackage {
        std::string name;  // the entity's name
        EntityInfoData subject;
    };

    // Reads `entities` (entity name -> file path -> record), which must not
    // change meanwhile; keeps nothing of them.
    explicit SubjectIndex(const ConfigCacheMap<EntityInfoData>& entities);

    // The first entity, in name order, whose own records claim `exe`: an
    // "exe" or "file" subject of that name, or a package subject whose
    // `exes` or `additional_exes` list it and whose `exclude_exes` do not.
    // nullptr when none does.
    const std::string* ListedClaim(const std::string& exe) const;

    // Whether a package subject of the database sorts before `name` (before
    // everything when null): only then can the database decide.
    bool HasDatabasePackageBefore(const std::string* name) const;

    // The first package subject of the database, in name order and before
    // `name` (if given), whose package is one of `packages`
    // (PackageSpecifierKey forms); nullptr when none.
    const DatabasePackage* FirstDatabasePackage(const std::vector<std::string>& packages,
                                                const std::string* name) const;

private:
    std::unordered_map<std::string, std::string> listed_;  // executable -> entity name
    std::vector<DatabasePackage> database_;                // in name order
    std::unordered_map<std::string, size_t> database_by_package_;  // PackageSpecifierKey -> first in database_
};
