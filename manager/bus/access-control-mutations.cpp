// The six configuration changes. Each checks its caller, lets the cache
// validate and store the change under /var/lib/olm/sarv/, pushes the result
// to the enforcement adapters, announces it with a signal and leaves an
// audit record. A change that passed the cache stays stored even when an
// adapter refuses it afterwards: the files are the truth, and the adapter
// receives the current state again with the next change.
//
// The six share two skeletons, one for setting a record and one for
// deleting it; what differs between them (the texts of their logs, replies
// and records, the map, the adapter step) is in one table per method.
#include <cerrno>
#include <optional>
#include <string>

#include "ac-audit.h"
#include "ac-audit-bus.h"
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

// Room for the argument beside the reason within one record.
constexpr size_t kAuditArgumentLimit = 4096;

// The audit record a failed step leaves: the audit text followed by ": "
// and the reason, the audit text alone, or none. kGoesOn: none of its own,
// the change goes on to its signal and success record.
enum class Record { kWithReason, kPlain, kNone, kGoesOn };

// One row of a method's failure table. In the texts "%s" stands for the
// step's reason and "%d" for its result.
struct Failure {
    const char* log;    // at LOG_WARNING; null: nothing is logged
    Record record;
    const char* error;  // the InvalidArgs text; null: the call is answered with success
};

// The documented texts and the parts of one change.
template <typename T>
struct ChangeTexts {
    const char* method;
    const char* key;     // the audit text is method + key + the argument
    const char* signal;  // emitted with the change type
    ConfigMap<T> ConfigManager::*map;
    Status (*push)(T& record);  // the adapter step
    Failure refused;            // the cache refuses the change (or keeps a policy that is not valid)
    Failure pushFailed;         // the adapter step fails
    Failure absent;             // deleting: there is nothing to delete
    const Failure* notFound;    // a push result of -2, where it differs from pushFailed
    bool signalsRecord;         // deleting: the signal carries the deleted record's JSON, not the argument
};

// A documented text with its "%s" and "%d" filled in.
std::string Fill(const char* text, const std::string& reason, int code) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += reason;
            ++p;
        } else if (p[0] == '%' && p[1] == 'd') {
            out += std::to_string(code);
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

// One change call under way.
class Change {
public:
    template <typename T>
    Change(sd_bus_message* m, const ChangeTexts<T>& texts, const QString& arg)
        : m_(m), method_(texts.method), arg_(arg.toStdString()) {
        // The argument goes into the record as a value of its own, like the reason.
        audit_ = std::string(texts.method) + texts.key + AuditValue(arg_, kAuditArgumentLimit);
    }

    const std::string& Argument() const { return arg_; }

    // What a step of the change reported; the reason of a failed step, or
    // one a step gave on its way to success (an object without an
    // adapter), is the change's last-error text from then on.
    Status Step(Status step) {
        if (!step.ok() || !step.reason.empty()) reason_ = step.reason;
        return step;
    }
    const std::optional<std::string>& Reason() const { return reason_; }
    // A step that failed without a reason of its own carries the last one
    // reported.
    Status Unexplained() const { return {-EINVAL, reason_ ? *reason_ : ac_error_msg}; }

    // The caller check every change starts with; a refusal ends the call
    // with org.freedesktop.DBus.Error.AccessDenied.
    Status CheckCaller() {
        const Status checked = Step(check_caller(m_));
        if (checked.ok()) return {};
        const std::string log = method_ + " check_caller_usid failed: %s!";
        return Fail({log.c_str(), Record::kWithReason, "%s"}, checked, -EACCES);
    }

    // The call ends at a failed step as `failure` says; the status it is
    // answered with.
    Status Fail(const Failure& failure, const Status& step, int code = -EINVAL) {
        Log(failure, step);
        if (failure.record == Record::kWithReason) Audit_Msg(m_, audit_ + ": " + AuditValue(step.reason), 0);
        if (failure.record == Record::kPlain) Audit_Msg(m_, audit_, 0);
        if (!failure.error) return {};
        return {code, Fill(failure.error, step.reason, step.code)};
    }

    void Log(const Failure& failure, const Status& step) const {
        if (failure.log) AcLog(LOG_WARNING, "%s", Fill(failure.log, LogPrintable(step.reason), step.code).c_str());
    }

    void Succeed() const { Audit_Msg(m_, audit_, 1); }

private:
    sd_bus_message* m_;
    std::string method_;
    std::string arg_;
    std::string audit_;
    std::optional<std::string> reason_;
};

// Only a policy is looked at again after the cache step: its adapters walk
// its entries. The cache gives no reason of its own for a stored policy
// that fails here; the last one reported stands.
bool Usable(const ModeData&) { return true; }
bool Usable(const EntityInfoData&) { return true; }
bool Usable(const PolicyData& policy) { return policy.IsValid(); }

// What set and delete share after the cache step: the adapters, the signal
// and the success record.
template <typename T>
Status PushAndAnnounce(Change& call, const ChangeTexts<T>& texts, T& record, const std::string& first,
                       const std::string& change) {
    const Status pushed = call.Step(texts.push(record));
    if (!pushed.ok()) {
        const Failure& failure =
            pushed.code == kAdapterNotFound && texts.notFound ? *texts.notFound : texts.pushFailed;
        if (failure.record != Record::kGoesOn) return call.Fail(failure, pushed);
        call.Log(failure, pushed);
    }
    if (!change.empty()) EmitAcSignal(texts.signal, first, change);
    call.Succeed();
    return {};
}

template <typename T>
Status SetRecord(Change& call, const ChangeTexts<T>& texts) {
    if (Status refused = call.CheckCaller(); !refused.ok()) return refused;

    ConfigManager* cache = ConfigManager::Instance();
    T record;
    std::string change;
    const Status cached = call.Step(cache->SetCache(cache->*texts.map, call.Argument(), record, change));
    // What the layers already show: answered with success, nothing to record.
    if (cached.code == kNothingChanged) return {};
    if (!cached.ok()) return call.Fail(texts.refused, cached);
    if (!Usable(record)) return call.Fail(texts.refused, call.Unexplained());
    return PushAndAnnounce(call, texts, record, call.Argument(), change);
}

template <typename T>
Status DeleteRecord(Change& call, const ChangeTexts<T>& texts) {
    if (Status refused = call.CheckCaller(); !refused.ok()) return refused;

    ConfigManager* cache = ConfigManager::Instance();
    T record;
    std::string change;
    const Status cached = call.Step(cache->DeleteCache(cache->*texts.map, call.Argument(), record, change));
    if (cached.code == kNothingChanged) return call.Fail(texts.absent, cached);
    if (!cached.ok()) return call.Fail(texts.refused, cached);
    if (!Usable(record)) return call.Fail(texts.refused, call.Unexplained());
    const std::string first = texts.signalsRecord ? ToJsonText(record) : call.Argument();
    return PushAndAnnounce(call, texts, record, first, change);
}

// Runs one change call. The one place a change leaves its last-error text
// in ac_error_msg, where it stays until a later change replaces it.
template <typename T>
Status Run(sd_bus_message* m, const QString& arg, const ChangeTexts<T>& texts,
           Status (*steps)(Change&, const ChangeTexts<T>&)) {
    Change call(m, texts, arg);
    const Status replied = steps(call, texts);
    if (call.Reason()) ac_error_msg = *call.Reason();
    return replied;
}

// ---- the adapter steps ---------------------------------------------------------------

// After a deletion the adapter receives what the remaining layers give the
// object.
Status PushObject(ModeData& mode) { return AdapterManager::Instance()->SetPolicy(mode.object); }

// Whether the kernel security module labels processes by the
// "security.appid" attribute. Looked at once, on the first entity stored.
bool KernelSupportsSecurityAppid() {
    static const bool is_kernel_support_security_appid = security_module_present();
    return is_kernel_support_security_appid;
}

// Labels only matter to a kernel that reads them; a failed label is logged
// by the labelling itself and does not undo the stored entity.
Status LabelAndPushEntity(EntityInfoData& entity) {
    if (KernelSupportsSecurityAppid()) SetAppElfOlmsecAttr(entity);
    return UpdateEntityPolicy(entity);
}

// Executables labelled for a deleted subject keep their label.
Status PushEntity(EntityInfoData& entity) { return UpdateEntityPolicy(entity); }

// Every object the policy names (after a deletion: named) is pushed with
// what the configuration now gives it.
Status PushPolicy(PolicyData& policy) { return SetAllPolicy(policy); }

// ---- the six methods' texts ------------------------------------------------------------

// Each: method, audit key, signal, map, adapter step; the cache refuses, the
// adapter step fails, nothing to delete; a push result of -2; what the
// deletion's signal carries.
const Failure kAdapterMissingForSetMode = {"SetMode failed: %s!", Record::kNone, nullptr};

const ChangeTexts<ModeData> kSetMode = {
    "SetMode", ", config=", "ModeChanged", &ConfigManager::modeMap, PushObject,
    {"SetMode data IsValid failed: %s!", Record::kWithReason, "%s"},
    {"SetMode failed: %s!", Record::kWithReason, "AcAdapter SetMode failed: %s"},
    {}, &kAdapterMissingForSetMode, false};

const ChangeTexts<ModeData> kDeleteMode = {
    "DeleteMode", ", object=", "ModeChanged", &ConfigManager::modeMap, PushObject,
    {"DeleteMode DeleteCache failed: %s!", Record::kWithReason, "DeleteCache failed: res = %s"},
    {"DeleteMode failed", Record::kPlain, "SetMode failed: res = %d"},
    {"DeleteMode data not exist: %s!", Record::kWithReason, "DeleteCache failed: %s"}, nullptr, true};

const ChangeTexts<EntityInfoData> kSetEntity = {
    "SetEntity", ", entity=", "EntityChanged", &ConfigManager::entityMap, LabelAndPushEntity,
    {"SetEntity entity IsValid failed!", Record::kWithReason, "SetEntity failed: %s"},
    {"SetEntity UpdateEntityPolicy failed!", Record::kGoesOn, nullptr},
    {}, nullptr, false};

const ChangeTexts<EntityInfoData> kDeleteEntity = {
    "DeleteEntity", ", entity=", "EntityChanged", &ConfigManager::entityMap, PushEntity,
    {"DeleteEntity entity IsValid failed!", Record::kWithReason, "DeleteCache failed: %s"},
    {nullptr, Record::kGoesOn, nullptr},
    {"DeleteEntity data not exist: %s!", Record::kWithReason, "%s"}, nullptr, false};

const ChangeTexts<PolicyData> kSetPolicy = {
    "SetPolicy", ", policy=", "PolicyChanged", &ConfigManager::policyMap, PushPolicy,
    {"SetPolicy data IsValid failed: %s!", Record::kWithReason, "SetPolicy SetCache failed: %s"},
    {"SetPolicy failed: %s", Record::kPlain, "SetPolicy failed: %s"},
    {}, nullptr, false};

const ChangeTexts<PolicyData> kDeletePolicy = {
    "DeletePolicy", ", policy=", "PolicyChanged", &ConfigManager::policyMap, PushPolicy,
    {"DeletePolicy data IsValid failed!", Record::kWithReason, "DeleteCache failed: %s"},
    {"DeletePolicy failed: %s", Record::kWithReason, "SetPolicy failed: %s"},
    {"DeletePolicy DeleteCache data not exist!", Record::kWithReason, "DeleteCache data not exist!"}, nullptr, false};

}  // namespace

Status AccessControlDbus::SetMode(sd_bus_message* m, const QString& config) {
    return Run(m, config, kSetMode, SetRecord);
}

Status AccessControlDbus::DeleteMode(sd_bus_message* m, const QString& object) {
    return Run(m, object, kDeleteMode, DeleteRecord);
}

Status AccessControlDbus::SetEntity(sd_bus_message* m, const QString& entity) {
    return Run(m, entity, kSetEntity, SetRecord);
}

Status AccessControlDbus::DeleteEntity(sd_bus_message* m, const QString& name) {
    return Run(m, name, kDeleteEntity, DeleteRecord);
}

Status AccessControlDbus::SetPolicy(sd_bus_message* m, const QString& policy) {
    return Run(m, policy, kSetPolicy, SetRecord);
}

Status AccessControlDbus::DeletePolicy(sd_bus_message* m, const QString& name) {
    return Run(m, name, kDeletePolicy, DeleteRecord);
}
