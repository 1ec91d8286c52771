// The two access questions: what a process may do to an object, and whether
// an executable may perform a list of operations on it. Any bus client may
// ask; every question leaves an audit record. Nothing is remembered between
// questions, so a change of the configuration applies to the next one.
#include <cerrno>
#include <string>
#include <vector>

#include "ac-audit.h"
#include "ac-audit-bus.h"
#include "ac-log.h"
#include "access-control-dbus.h"
#include "access-decision.h"
#include "proc-readers.h"

namespace {

QList<QString> ToQList(const std::vector<std::string>& operations) {
    QList<QString> list;
    list.reserve(static_cast<qsizetype>(operations.size()));
    for (const auto& operation : operations) list.append(QString::fromStdString(operation));
    return list;
}

// The operations `subject` (an entity name or an executable path, taken as
// the bytes it arrived as) may perform on `object`, into `permitted`. Writes
// the question's audit record; an object that is no entity fails.
Status GetExePermissions(sd_bus_message* m, const std::string& subject, const std::string& object,
                         const std::string& audit, std::vector<std::string>& permitted) {
    const AccessDecision d = DecideAccess(subject, object, /*records=*/false);
    switch (d.rule) {
    case AccessRule::kInvalidObject:
        AcLog(LOG_WARNING, ":CanAuthorize object entify info not Valid: %s!", LogPrintable(object).c_str());
        Audit_Msg(m, audit, 0);
        return {-EINVAL, "Invalid object"};
    case AccessRule::kNoMode:
        AcLog(LOG_WARNING, "AccessControlDbus::CanAuthorize object mode not Valid: %s!",
              LogPrintable(object).c_str());
        Audit_Msg(m, audit, 1);
        break;
    case AccessRule::kNoSubject:
    case AccessRule::kNoPolicy:
        Audit_Msg(m, audit, d.mode.mode == kModeBlacklist ? 1 : 0);
        break;
    case AccessRule::kPolicy:
        Audit_Msg(m, audit, 0);
        break;
    }
    permitted = d.permitted;
    return {};
}

}  // namespace

Status AccessControlDbus::CanAuthorize(sd_bus_message* m, int pid, QString qobject, QList<QString>& operations) {
    const std::string object = qobject.toStdString();
    const std::string exe = get_pid_link(pid, "exe");
    const std::string audit = "CanAuthorize, subjectPID=" + std::to_string(pid) + ", subjectExe=" + AuditValue(exe) +
                              ", object=" + AuditValue(object) + ", operations=";
    if (exe.empty()) {
        AcLog(LOG_WARNING, "CanAuthorize subject PID Is InValid: %d!", pid);
        Audit_Msg(m, audit, 0);
        return {-EINVAL, "Invalid subject PID"};
    }
    // The executable's path is the subject: an entity named by it first,
    // then any subject that claims it.
    std::vector<std::string> permitted;
    const ::Status status = GetExePermissions(m, exe, object, audit, permitted);
    if (status.ok()) operations = ToQList(permitted);
    return status;
}

Status AccessControlDbus::CheckAuthorization(sd_bus_message* m, const QString& qexe, const QString& qobject,
                                             const QList<QString>& operations, int& permits) {
    const std::string exe = qexe.toStdString();
    const std::string object = qobject.toStdString();
    const std::string value = AuditValue(exe);
    const std::string audit =
        "CheckAuthorization, exe=" + value + ", subjectExe=" + value + ", object=" + AuditValue(object) + ", operations=";
    if (exe.empty()) {
        AcLog(LOG_WARNING, "CheckAuthorization subject Is InValid: %s!", LogPrintable(exe).c_str());
        Audit_Msg(m, audit, 0);
        return {-EINVAL, "Invalid exe"};
    }
    std::vector<std::string> permitted;
    const ::Status status = GetExePermissions(m, exe, object, audit, permitted);
    if (!status.ok()) return status;
    std::vector<std::string> requested;
    for (const QString& operation : operations) requested.push_back(operation.toStdString());
    permits = PermitsAll(permitted, requested) ? 1 : 0;
    return {};
}
