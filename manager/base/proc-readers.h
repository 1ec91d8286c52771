// What /proc tells about a process.
#pragma once

#include <string>

#include <QString>

// The target of /proc/PID/NAME, or "" (logged) when it cannot be read.
std::string get_pid_link(int pid, const char* name);

// The first line of /proc/PID/cmdline (arguments still NUL-separated).
QString get_caller_cmdline(int pid);

