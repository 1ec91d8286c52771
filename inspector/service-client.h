// The inspector's side of the access-control bus service: blocking calls on
// the system bus and the read-only queries the window is built from.
#pragma once

#include <string>
#include <vector>

#include <QDBusMessage>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "acrecords.h"

// Sends one call to the access-control service and waits for its answer
// (the bus's default timeout). Anything but a method reply is a failure.
QDBusMessage CallAccessControl(const QString& method, const QList<QVariant>& arguments = {});

// The queries never report failures: an unreachable service or a refused
// name gives the record's starting values (or an empty list).
QList<EntityInfoData> getObjects();
EntityInfoData getEntityInfo(const QString& name);
PolicyData getObjectPolicy(const QString& name);
ModeData getObjectMode(const QString& name);

QStringList fromStdVector(const std::vector<std::string>& values);
