// Icons and fixed texts of the inspector window.
#pragma once

#include <QIcon>
#include <QMap>
#include <QString>

inline const QString newEntityStr = QStringLiteral("New Entity");
inline const QString newModeStr = QStringLiteral("New Mode");
inline const QString newPolicyStr = QStringLiteral("New Policy");

inline const QString kFolderIconFile = QStringLiteral("/usr/share/icons/florun/places/32/folder.svg");
inline const QString kJsonObjectIconFile =
    QStringLiteral("/usr/share/icons/Papirus/32x32/mimetypes/application-json.svg");
inline const QString kJsonSubjectIconFile =
    QStringLiteral("/usr/share/icons/Papirus/32x32/mimetypes/application-javascript.svg");
inline const QString kJsonNewIconFile = QStringLiteral("/usr/share/icons/Papirus/24x24/actions/document-new.svg");
inline const QString kDbusObjectIconFile = QStringLiteral("/usr/share/icons/Pelmar/mimetypes/32/x-dia-diagram.svg");
inline const QString kWindowIconFile = QStringLiteral("/usr/share/icons/Papirus/16x16/panel/security-low.svg");

// Icon files of the objects the privacy list knows by name; "file" also
// serves every file-type object without an entry of its own.
inline const QMap<QString, QString> kObjectIconMap = {
    {QStringLiteral("camera"), QStringLiteral("/usr/share/icons/florun/devices/32/camera.svg")},
    {QStringLiteral("microphone"), QStringLiteral("/usr/share/icons/Papirus/32x32/devices/audio-input-microphone.svg")},
    {QStringLiteral("file"), QStringLiteral("/usr/share/icons/florun/places/32/folder.svg")},
};

// The logo of the veltrin application format: a rounded tile with a "V"
// and a dot, drawn for files whose names start with "veltrin-".
extern const char veltrinLogoSvgText[];

// Icons need a running QGuiApplication, so they are built on first use
// (the program touches them right after creating the application) and kept
// for the life of the process.
struct InspectorIcons {
    QIcon folderIcon;
    QIcon jsonObjectFileIcon;
    QIcon jsonSubjectFileIcon;
    QIcon jsonNewIcon;
    QIcon veltrinIcon;
    QIcon dbusObjectIcon;
    QMap<QString, QIcon> objectIcons;  // kObjectIconMap with the files loaded
};
const InspectorIcons& inspectorIcons();
