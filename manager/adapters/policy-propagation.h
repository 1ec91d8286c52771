// Carrying entity and policy changes to the enforcement adapters, and
// labelling a subject's executables with its name.
#pragma once

#include "acrecords.h"
#include "status.h"

// Pushes every object a policy names, each once, in order of first mention.
// Success (with the last reason a push gave, if any), or -1 at the first
// adapter failure, with a reason that tells its result.
Status SetAllPolicy(const PolicyData& policy);

// Pushes what a change of `entity` touches: an object with a mode of its
// own, or every object of a subject's valid policy. Success, or -1.
Status UpdateEntityPolicy(EntityInfoData& entity);

// Writes the subject's name into the "security.appid" attribute of its
// executables (and of the subject itself when it is a file). 0, or minus the
// errno of the last failed write; the other paths are labelled regardless.
int SetAppElfOlmsecAttr(EntityInfoData& entity);
