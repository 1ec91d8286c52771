// The last-error text of the bus methods.
#pragma once

#include <string>

// The last bus method's failure text; written only by the bus layer, from the Status the layers return.
// Per thread, so that it is never written and read on two threads at once.
extern thread_local std::string ac_error_msg;
