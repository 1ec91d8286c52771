// `explain [--json] SUBJECT OBJECT [OPERATION...]`: the service's answer to
// an access question, on the configuration as it is on disk, with the
// files and the rule behind it.
#pragma once

#include <string>
#include <vector>

// The arguments after "explain". SUBJECT is an executable path, an entity
// name or, written as a decimal number, a process id. Returns the exit
// status: 0 once explained, 2 for a command line that is not one.
int Explain(const std::vector<std::string>& args);
