// The methods behind the bus interface org.nimbra.sarv1.AccessControl.
// Each takes the incoming call first and returns a Status; a result is
// written only on success. The handler in ac-dbus-service.cpp answers the
// call from it: a failed status with its reason as the error text, under
// org.freedesktop.DBus.Error.AccessDenied for -EACCES and
// org.freedesktop.DBus.Error.InvalidArgs for any other code.
#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>

#include "status.h"

typedef struct sd_bus_message sd_bus_message;

class AccessControlDbus : public QObject {
    Q_OBJECT
public:
    // The one the service object installed (installed.h); null when none is.
    static AccessControlDbus* Instance();
    explicit AccessControlDbus(QObject* parent = nullptr);

    // Property Status: 1 while enforcement adapters are loaded, else 0.
    int Status() const { return status_.load(); }
    void SetStatus(int status) { status_.store(status); }
    // Property Version.
    QString Version() const { return version_; }

    // (::Status is the result type; Status() above is the property.)

    // Queries: JSON documents of the layered configuration.
    ::Status GetMode(sd_bus_message* m, const QString& name, QString& json);
    ::Status ListEntity(sd_bus_message* m, QList<QString>& entities);
    ::Status GetEntity(sd_bus_message* m, const QString& name, QString& json);
    ::Status GetPolicy(sd_bus_message* m, const QString& name, QString& json);

    // Changes (access-control-mutations.cpp).
    ::Status SetMode(sd_bus_message* m, const QString& config);
    ::Status DeleteMode(sd_bus_message* m, const QString& object);
    ::Status SetEntity(sd_bus_message* m, const QString& entity);
    ::Status DeleteEntity(sd_bus_message* m, const QString& name);
    ::Status SetPolicy(sd_bus_message* m, const QString& policy);
    ::Status DeletePolicy(sd_bus_message* m, const QString& name);

    // Access questions (access-control-authorization.cpp).
    ::Status CanAuthorize(sd_bus_message* m, int pid, QString object, QList<QString>& operations);
    ::Status CheckAuthorization(sd_bus_message* m, const QString& subject, const QString& object,
                                const QList<QString>& operations, int& permitted);

private:
    std::atomic<int> status_{1};
    const QString version_;
};
