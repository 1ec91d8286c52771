#include "ac-globals.h"

std::atomic<sd_bus*> g_ac_bus{nullptr};
std::atomic<int> g_is_stop{1};
thread_local std::string ac_error_msg;
