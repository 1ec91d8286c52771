// The methods behind the bus interface org.nimbra.sarv1.AccessControl.
// Each takes the incoming call first: a method that fails answers the call
// itself with a bus error (through ReplyError), and the handler in
// ac-dbus-service.cpp then sends nothing more.
#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>

typedef struct sd_bus_message sd_bus_message;

class AccessControlDbus : public QObject {
    Q_OBJECT
public:
    static AccessControlDbus* Instance();
    explicit AccessControlDbus(QObject* parent = nullptr);

    // Property Status: 1 while enforcement adapters are loaded, else 0.
    int Status() const { return status_.load(); }
    void SetStatus(int status) { status_.store(status); }
    // Property Version.
    QString Version() const { return version_; }

    // Queries: JSON documents of the layered configuration.
    QString GetMode(sd_bus_message* m, const QString& name);
    QList<QString> ListEntity(sd_bus_message* m);
    QString GetEntity(sd_bus_message* m, const QString& name);
    QString GetPolicy(sd_bus_message* m, const QString& name);

    // Changes (access-control-mutations.cpp).
    void SetMode(sd_bus_message* m, const QString& config);
    void DeleteMode(sd_bus_message* m, const QString& object);
    void SetEntity(sd_bus_message* m, const QString& entity);
    void DeleteEntity(sd_bus_message* m, const QString& name);
    void SetPolicy(sd_bus_message* m, const QString& policy);
    void DeletePolicy(sd_bus_message* m, const QString& name);

    // Access questions (access-control-authorization.cpp).
    QList<QString> CanAuthorize(sd_bus_message* m, int pid, QString object);
    int CheckAuthorization(sd_bus_message* m, const QString& subject, const QString& object,
                           const QList<QString>& operations);

    // Answers `m` with the error `name` and a printf-style text, and marks
    // the call as answered. The result of sd_bus_reply_method_errorf.
    int ReplyError(sd_bus_message* m, const char* name, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    // Whether a method has answered `m` since the last BeginCall(m).
    bool HasReplied(sd_bus_message* m) const { return answered_ == m && answered_flag_; }
    // Called by the handler before it hands `m` to a method.
    void BeginCall(sd_bus_message* m) {
        answered_ = m;
        answered_flag_ = false;
    }

private:
    std::atomic<int> status_{1};
    const QString version_;
    // Calls are dispatched one at a time on the bus thread, so one marker
    // is enough.
    sd_bus_message* answered_ = nullptr;
    bool answered_flag_ = false;
};
