// The six configuration changes. Each checks its caller, lets the cache
// validate and store the change under /var/lib/olm/sarv/, pushes the result
// to the enforcement adapters, announces it with a signal and leaves an
// audit record. A change that passed the cache stays stored even when an
// adapter refuses it afterwards: the files are the truth, and the adapter
// receives the current state again with the next change.
#include <cerrno>
#include <string>

#include "ac-audit.h"
#include "ac-globals.h"
#include "ac-log.h"
#include "ac-signal.h"
#include "access-control-dbus.h"
#include "acjson.h"
#include "adapter-manager.h"
#include "caller-check.h"
#include "config-manager.h"
#include "policy-propagation.h"

namespace {

constexpr int kNothingChanged = -17;
constexpr int kAdapterNotFound = -2;

// A change's audit text: the method's words and the argument as received,
// which goes into the record as a value of its own, like the reason.
struct AuditText {
    const char* head;
    const std::string& arg;
};

// Room for the argument beside the reason within one record.
constexpr size_t kAuditArgumentLimit = 4096;

std::string Text(const AuditText& audit) { return audit.head + AuditValue(audit.arg, kAuditArgumentLimit); }

// Audit records: success (the text alone, result 1), failure with the
// reason (": " and ac_error_msg, result 0) and plain failure (result 0).
void AuditSuccess(sd_bus_message* m, const AuditText& audit) { Audit_Msg(m, Text(audit), 1); }
void AuditFailure(sd_bus_message* m, const AuditText& audit) {
    Audit_Msg(m, Text(audit) + ": " + AuditValue(ac_error_msg), 0);
}
void AuditPlain(sd_bus_message* m, const AuditText& audit) { Audit_Msg(m, Text(audit), 0); }

// A failure answered with org.freedesktop.DBus.Error.InvalidArgs: `prefix`
// followed by `text`.
Status Invalid(const std::string& prefix, const std::string& text) { return {-EINVAL, prefix + text}; }

// The caller check every change starts with; a refusal is recorded and ends
// the call with org.freedesktop.DBus.Error.AccessDenied.
Status CheckCaller(sd_bus_message* m, const char* method, const AuditText& audit) {
    if (check_caller_usid(m) == 0) return {};
    AcLog(LOG_WARNING, "%s check_caller_usid failed: %s!", method, LogPrintable(ac_error_msg).c_str());
    AuditFailure(m, audit);
    return {-EACCES, ac_error_msg};
}

// Whether the kernel security module labels processes by the
// "security.appid" attribute. Looked at once, on the first entity stored.
bool KernelSupportsSecurityAppid() {
    static const bool is_kernel_support_security_appid = security_module_present();
    return is_kernel_support_security_appid;
}

}  // namespace

Status AccessControlDbus::SetMode(sd_bus_message* m, const QString& qconfig) {
    const std::string config = qconfig.toStdString();
    const AuditText audit{"SetMode, config=", config};
    if (::Status refused = CheckCaller(m, "SetMode", audit); !refused.ok()) return refused;

    ConfigManager* cache = ConfigManager::Instance();
    ModeData record;
    std::string change;
    const int r = cache->SetCache(cache->modeMap, config, record, change);
    if (r == kNothingChanged) return {};
    if (r != 0) {
        AcLog(LOG_WARNING, "SetMode data IsValid failed: %s!", LogPrintable(ac_error_msg).c_str());
        AuditFailure(m, audit);
        return Invalid("", ac_error_msg);
    }

    const int a = AdapterManager::Instance()->SetPolicy(record.object);
    if (a == kAdapterNotFound) {
        AcLog(LOG_WARNING, "SetMode failed: %s!", LogPrintable(ac_error_msg).c_str());
        return {};
    }
    if (a != 0) {
        AcLog(LOG_WARNING, "SetMode failed: %s!", LogPrintable(ac_error_msg).c_str());
        AuditFailure(m, audit);
        return Invalid("AcAdapter SetMode failed: ", ac_error_msg);
    }

    if (!change.empty()) EmitAcSignal("ModeChanged", config, change);
    AuditSuccess(m, audit);
    return {};
}

Status AccessControlDbus::DeleteMode(sd_bus_message* m, const QString& qobject) {
    const std::string object = qobject.toStdString();
    const AuditText audit{"DeleteMode, object=", object};
    if (::Status refused = CheckCaller(m, "DeleteMode", audit); !refused.ok()) return refused;

    ConfigManager* cache = ConfigManager::Instance();
    ModeData record;
    std::string change;
    const int r = cache->DeleteCache(cache->modeMap, object, record, change);
    if (r == kNothingChanged) {
        AcLog(LOG_WARNING, "DeleteMode data not exist: %s!", LogPrintable(ac_error_msg).c_str());
        AuditFailure(m, audit);
        return Invalid("DeleteCache failed: ", ac_error_msg);
    }
    if (r != 0) {
        AcLog(LOG_WARNING, "DeleteMode DeleteCache failed: %s!", LogPrintable(ac_error_msg).c_str());
        AuditFailure(m, audit);
        return Invalid("DeleteCache failed: res = ", ac_error_msg);
    }

    const std::string deleted = ToJsonText(record);
    // The adapter now receives what the remaining layers give the object.
    const int a = AdapterManager::Instance()->SetPolicy(record.object);
    if (a != 0) {
        AcLog(LOG_WARNING, "DeleteMode failed");
        AuditPlain(m, audit);
        return Invalid("SetMode failed: res = ", std::to_string(a));
    }

    EmitAcSignal("ModeChanged", deleted, kChangeTypeDelete);
    AuditSuccess(m, audit);
    return {};
}

Status AccessControlDbus::SetEntity(sd_bus_message* m, const QString& qentity) {
    const std::string entity = qentity.toStdString();
    const AuditText audit{"SetEntity, entity=", entity};
    if (::Status refused = CheckCaller(m, "SetEntity", audit); !refused.ok()) return refused;

    ConfigManager* cache = ConfigManager::Instance();
    EntityInfoData record;
    std::string change;
    const int r = cache->SetCache(cache->entityMap, entity, record, change);
    if (r == kNothingChanged) return {};
    if (r != 0) {
        AcLog(LOG_WARNING, "SetEntity entity IsValid failed!");
        // Recorded before the answer, as everywhere: a caller that has its
        // answer finds the record written.
        AuditFailure(m, audit);
        return Invalid("SetEntity failed: ", ac_error_msg);
    }

    // Labels only matter to a kernel that reads them; a failed label is
    // logged by the labelling itself and does not undo the stored entity.
    if (KernelSupportsSecurityAppid()) SetAppElfOlmsecAttr(record);
    if (UpdateEntityPolicy(record) != 0) AcLog(LOG_WARNING, "SetEntity UpdateEntityPolicy failed!");

    if (!change.empty()) EmitAcSignal("EntityChanged", entity, change);
    AuditSuccess(m, audit);
    return {};
}

Status AccessControlDbus::DeleteEntity(sd_bus_message* m, const QString& qname) {
    const std::string name = qname.toStdString();
    const AuditText audit{"DeleteEntity, entity=", name};
    if (::Status refused = CheckCaller(m, "DeleteEntity", audit); !refused.ok()) return refused;

    ConfigManager* cache = ConfigManager::Instance();
    EntityInfoData record;
    std::string change;
    const int r = cache->DeleteCache(cache->entityMap, name, record, change);
    if (r == kNothingChanged) {
        AcLog(LOG_WARNING, "DeleteEntity data not exist: %s!", LogPrintable(ac_error_msg).c_str());
        AuditFailure(m, audit);
        return Invalid("", ac_error_msg);
    }
    if (r != 0) {
        AcLog(LOG_WARNING, "DeleteEntity entity IsValid failed!");
        AuditFailure(m, audit);
        return Invalid("DeleteCache failed: ", ac_error_msg);
    }

    // Executables labelled for a deleted subject keep their label.
    UpdateEntityPolicy(record);

    EmitAcSignal("EntityChanged", name, kChangeTypeDelete);
    AuditSuccess(m, audit);
    return {};
}

Status AccessControlDbus::SetPolicy(sd_bus_message* m, const QString& qpolicy) {
    const std::string policy = qpolicy.toStdString();
    const AuditText audit{"SetPolicy, policy=", policy};
    if (::Status refused = CheckCaller(m, "SetPolicy", audit); !refused.ok()) return refused;

    ConfigManager* cache = ConfigManager::Instance();
    PolicyData record;
    std::string change;
    const int r = cache->SetCache(cache->policyMap, policy, record, change);
    if (r == kNothingChanged) return {};
    if (r != 0 || !record.IsValid()) {
        AcLog(LOG_WARNING, "SetPolicy data IsValid failed: %s!", LogPrintable(ac_error_msg).c_str());
        AuditFailure(m, audit);
        return Invalid("SetPolicy SetCache failed: ", ac_error_msg);
    }

    if (SetAllPolicy(record) != 0) {
        AcLog(LOG_WARNING, "SetPolicy failed: %s", LogPrintable(ac_error_msg).c_str());
        AuditPlain(m, audit);
        return Invalid("SetPolicy failed: ", ac_error_msg);
    }

    if (!change.empty()) EmitAcSignal("PolicyChanged", policy, change);
    AuditSuccess(m, audit);
    return {};
}

Status AccessControlDbus::DeletePolicy(sd_bus_message* m, const QString& qname) {
    const std::string name = qname.toStdString();
    const AuditText audit{"DeletePolicy, policy=", name};
    if (::Status refused = CheckCaller(m, "DeletePolicy", audit); !refused.ok()) return refused;

    ConfigManager* cache = ConfigManager::Instance();
    PolicyData record;
    std::string change;
    const int r = cache->DeleteCache(cache->policyMap, name, record, change);
    if (r == kNothingChanged) {
        AcLog(LOG_WARNING, "DeletePolicy DeleteCache data not exist!");
        AuditFailure(m, audit);
        return Invalid("DeleteCache data not exist!", "");
    }
    if (r != 0 || !record.IsValid()) {
        AcLog(LOG_WARNING, "DeletePolicy data IsValid failed!");
        AuditFailure(m, audit);
        return Invalid("DeleteCache failed: ", ac_error_msg);
    }

    // Every object the deleted policy named is pushed again with what the
    // remaining configuration gives it.
    if (SetAllPolicy(record) != 0) {
        AcLog(LOG_WARNING, "DeletePolicy failed: %s", LogPrintable(ac_error_msg).c_str());
        AuditFailure(m, audit);
        return Invalid("SetPolicy failed: ", ac_error_msg);
    }

    EmitAcSignal("PolicyChanged", name, kChangeTypeDelete);
    AuditSuccess(m, audit);
    return {};
}
