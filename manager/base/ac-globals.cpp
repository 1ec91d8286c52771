#include "ac-globals.h"

thread_local std::string ac_error_msg;
