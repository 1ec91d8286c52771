#include "service-client.h"

#include <QDBusConnection>

#include "configfile-helper.h"

namespace {

const QString kService = QStringLiteral("org.nimbra.sarv1");
const QString kPath = QStringLiteral("/org/nimbra/sarv1/AccessControl");
const QString kInterface = QStringLiteral("org.nimbra.sarv1.AccessControl");

// The first argument of a successful reply, or nothing.
bool FirstArgument(const QDBusMessage& reply, QVariant& out) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
    out = reply.arguments().constFirst();
    return true;
}

// Parses into a scratch record so that a refused text never leaves a
// half-filled record behind.
template <typename T>
T QueryRecord(const QString& method, const QString& name, T start) {
    QVariant value;
    if (!FirstArgument(CallAccessControl(method, {name}), value)) return start;
    if (value.metaType().id() != QMetaType::QString) return start;
    T parsed = start;
    if (ConfigFileHelper::LoadFromJson(value.toString().toStdString(), parsed) != 0) return start;
    return parsed;
}

}  // namespace

QDBusMessage CallAccessControl(const QString& method, const QList<QVariant>& arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call, QDBus::Block, -1);
}

QList<EntityInfoData> getObjects() {
    QList<EntityInfoData> objects;
    QVariant value;
    if (!FirstArgument(CallAccessControl(QStringLiteral("ListEntity")), value)) return objects;
    if (value.metaType().id() != QMetaType::QStringList) return objects;
    const QStringList texts = value.toStringList();
    for (const QString& text : texts) {
        EntityInfoData entity;
        if (ConfigFileHelper::LoadFromJson(text.toStdString(), entity) != 0) entity = EntityInfoData();
        if (entity.type == kEntityTypeObject) objects.append(entity);
    }
    return objects;
}

EntityInfoData getEntityInfo(const QString& name) {
    return QueryRecord(QStringLiteral("GetEntity"), name, EntityInfoData());
}

PolicyData getObjectPolicy(const QString& name) {
    return QueryRecord(QStringLiteral("GetPolicy"), name, PolicyData());
}

ModeData getObjectMode(const QString& name) {
    return QueryRecord(QStringLiteral("GetMode"), name, ModeData());
}

QStringList fromStdVector(const std::vector<std::string>& values) {
    QStringList list;
    list.reserve(static_cast<qsizetype>(values.size()));
    for (const std::string& value : values) list.append(QString::fromStdString(value));
    return list;
}
