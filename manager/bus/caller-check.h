// Who sent a bus call, and whether that sender may change the configuration.
#pragma once

#include <cstddef>
#include <string>

#include <QList>
#include <QString>

#include "status.h"

typedef struct sd_bus_message sd_bus_message;

// Programs trusted to change the configuration without a security label.
// Compared exactly, letter case included, with the caller's executable.
extern const QList<QString> kWhiteCallerExes;

// Success when the sender of `m` may change the configuration: it runs in
// the service's mount namespace and is a trusted program or carries one of
// the suite's security labels. -1 with the reason otherwise. Logs nothing;
// the calling method logs and replies.
//
// Only the kernel security module keeps other users from running a trusted
// program with a library or a plug-in of their own, or from turning a
// connection into one after the fact by exec. Without the module a trusted
// program is therefore trusted only when the bus recorded user 0 for the
// connection.
Status check_caller(sd_bus_message* m);
// check_caller for callers that read the reason from ac_error_msg: 0, or -1
// with the reason there.
int check_caller_usid(sd_bus_message* m);

// Whether the suite's kernel security module is there: its file
// "1/attr/olmsec/cred" below ProcAttrRoot() exists.
bool security_module_present();

// The process id of the sender of `m`, 0 when the bus cannot tell.
//
// A connection's process never changes and the bus never hands a unique
// name out twice, so the answer is asked of the bus once per unique name
// and kept until the bus announces that the name has gone. Must be called
// on the thread that dispatches `m`'s connection.
int get_sender_pid(sd_bus_message* m);
// How many senders' process ids are kept at the moment.
size_t known_sender_pids();

// The sender's name as its audit records give it: AuditCallerComm of its
// process id, read at the connection's first record and kept with the id
// while the connection lasts. The id is what the bus recorded when the
// connection was made, and the name read at once is that process's. Reading
// /proc again for every record would only follow the process renaming
// itself (the name is text the caller chooses anyway, at exec), or, once the
// id has been reused, name another process. Same thread rule as
// get_sender_pid.
std::string get_sender_comm(sd_bus_message* m);

// Where the kernel security module's per-process files are read from:
// "/proc", unless the environment variable SARV_PROC_ATTR_ROOT names another
// tree when the service first looks. Only the security-label files
// ("PID/attr/usid", "1/attr/olmsec/cred") are read below it; machines whose
// kernel lacks the module have no such files, and tests provide them there.
const std::string& ProcAttrRoot();
