// The one decision behind CanAuthorize and CheckAuthorization: what a
// subject may do to an object by the cache, and the rule that decided it.
// The bus methods and the installer's "explain" both call it, so an
// explanation cannot disagree with the service's answer.
#pragma once

#include <string>
#include <vector>

#include "acrecords.h"

enum class AccessRule {
    kInvalidObject,  // the object is no valid entity: the question is refused
    kNoMode,         // the object has no mode: every operation it offers
    kNoSubject,      // no entity of that name, no subject claims the executable: the mode's defaults
    kNoPolicy,       // the subject has no valid policy: the mode's defaults
    kPolicy,         // exactly what the subject's policy grants on the object, in every mode
};

struct AccessDecision {
    AccessRule rule = AccessRule::kInvalidObject;
    EntityInfoData object;         // the object's layered entity
    ModeData mode;                 // the object's layered mode
    bool subject_by_name = false;  // the subject is an entity's name, not a claimed executable
    EntityInfoData subject;        // the subject's entity, once found
    PolicyData policy;             // the subject's policy as the cache shows it, once looked up
    std::vector<std::string> permitted;
};

// The subject entity behind `subject`: the valid entity of that name
// (`by_name`), else the subject that claims it as an executable. False when
// there is none; `entity` then holds the entity of that name, not valid.
bool FindSubject(const std::string& subject, EntityInfoData& entity, bool& by_name);

// `subject` is an entity name or an executable path (as the bytes it came
// as), `object` an entity name. Reads the cache only; the subject lookups
// log as they do for every question. Without `records` the decision leaves
// `object`, `subject` and `policy` empty: the bus methods answer from the
// rule, the mode and the permitted operations, and need not copy the
// records the decision was made from.
AccessDecision DecideAccess(const std::string& subject, const std::string& object, bool records = true);

// CheckAuthorization's answer: every requested operation is permitted,
// exactly as written (true when none is requested).
bool PermitsAll(const std::vector<std::string>& permitted, const std::vector<std::string>& requested);
