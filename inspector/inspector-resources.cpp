#include "inspector-resources.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

const char veltrinLogoSvgText[] = R"svg(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
  <rect x="3" y="3" width="58" height="58" rx="15" fill="#1d6e8c"/>
  <path d="M15 20 L32 50 L49 20" fill="none" stroke="#ffffff" stroke-width="8"
        stroke-linecap="round" stroke-linejoin="round"/>
  <circle cx="32" cy="15" r="5.5" fill="#f4b63f"/>
</svg>
)svg";

namespace {

QIcon RenderVeltrinIcon() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer{QByteArray(veltrinLogoSvgText)};
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    return QIcon(pixmap);
}

InspectorIcons BuildIcons() {
    InspectorIcons icons;
    icons.folderIcon = QIcon(kFolderIconFile);
    icons.jsonObjectFileIcon = QIcon(kJsonObjectIconFile);
    icons.jsonSubjectFileIcon = QIcon(kJsonSubjectIconFile);
    icons.jsonNewIcon = QIcon(kJsonNewIconFile);
    icons.veltrinIcon = RenderVeltrinIcon();
    icons.dbusObjectIcon = QIcon(kDbusObjectIconFile);
    for (auto it = kObjectIconMap.cbegin(); it != kObjectIconMap.cend(); ++it)
        icons.objectIcons.insert(it.key(), QIcon(it.value()));
    return icons;
}

}  // namespace

const InspectorIcons& inspectorIcons() {
    static const InspectorIcons icons = BuildIcons();
    return icons;
}
