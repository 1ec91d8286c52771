#include "package-elf-list.h"

#include <cstring>

#include "ac-log.h"
#include "policy-migration-helper.h"
#include "run-program.h"

namespace {

// `dpkg -L` of the largest packages prints a few megabytes.
constexpr size_t kMaxOutput = size_t(64) << 20;
// No path handed to open() can be longer.
constexpr size_t kMaxLine = 4095;

}  // namespace

std::vector<std::string> get_pkg_elf_list(const char* package) {
    std::vector<std::string> elves;
    std::string name = package ? package : "";
    std::string why;
    if (!IsValidPackageName(name.c_str(), &why)) {
        AcLog(LOG_WARNING, "get_pkg_elf_list: '%s' is not a package name, nothing listed", LogPrintable(name, 250).c_str());
        return elves;
    }

    // The name is one argument, never seen by a shell.
    const ProgramResult run = RunProgram({"dpkg", "-L", name}, ProgramOptions::Capturing(kMaxOutput));
    if (!run.started) {
        AcLog(LOG_WARNING, "Erro to popen %s", LogPrintable("dpkg -L " + name).c_str());
        AcLog(LOG_WARNING, "generate_pkg_file_list %s", LogPrintable(name).c_str());
        return elves;
    }
    if (run.truncated) {
        AcLog(LOG_WARNING, "generate_pkg_file_list %s: output of dpkg -L too large, ignored",
              LogPrintable(name).c_str());
        return elves;
    }
    const std::string& output = run.output;

    try {
        size_t pos = 0;
        while (pos < output.size()) {
            size_t nl = output.find('\n', pos);
            size_t end = nl == std::string::npos ? output.size() : nl;
            std::string line = output.substr(pos, end - pos);
            pos = end + 1;
            line.resize(strnlen(line.c_str(), line.size()));
            if (line.empty() || line.size() > kMaxLine) continue;
            if (is_elf_file(line.c_str())) elves.push_back(std::move(line));
        }
    } catch (const std::exception&) {
        elves.clear();
    }
    return elves;
}
