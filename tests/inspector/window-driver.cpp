// Preloaded into the installed inspector (LD_PRELOAD) to use its window as a
// person would and write down what it shows. Without SARV_INSPECTOR_SCRIPT
// it does nothing.
//
// The script has one command a line; the report gets one fact a line, the
// fields separated by tabs:
//   click-tree KEY       click the tree item with that path (root: its text)
//   click-object NAME    click an object of the privacy list
//   type TEXT            replace the text view's text ("\n" for a new line)
//   press NAME           click the button with that object name
//   tab N                show tab N
//   wait MS              let the window paint for a while
//   report               title, objects, tree, buttons, text, privacy rows
//   shot FILE            save a screenshot of the window as PNG
//   quit                 leave the event loop with status 0
// Every message box that comes up is reported ("box TITLE TEXT") and closed.
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTextStream>

#include "window-probe.h"

namespace {

QString Escaped(QString text) {
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QLatin1Char('\t'), QLatin1String("\\t"));
}

class Driver : public QObject {
public:
    Driver(QStringList steps, QString report, QObject* parent)
        : QObject(parent), steps_(std::move(steps)), report_(std::move(report)) {
        QTimer::singleShot(0, this, [this] { Next(); });
    }

private:
    void Write(const QStringList& fields) {
        QFile file(report_);
        if (!file.open(QIODevice::Append | QIODevice::Text)) return;
        QTextStream(&file) << fields.join(QLatin1Char('\t')) << '\n';
    }

    void FlushBoxes() {
        for (const auto& box : boxes_->boxes) Write({"box", box.title, Escaped(box.text)});
        boxes_->boxes.clear();
    }

    void Report(QWidget* window) {
        Write({"title", window->windowTitle()});
        Write({"objects", probe::ObjectNames(window).join(QLatin1Char(','))});
        for (const QString& path : probe::TreePaths(window)) Write({"tree", path});
        auto* remove = probe::Child<QPushButton>(window, "pushButton_delete");
        Write({"delete-visible", remove && remove->isVisible() ? "1" : "0"});
        auto* refresh = probe::Child<QPushButton>(window, "pushButton_refresh");
        Write({"refresh", refresh ? refresh->text() : QString()});
        auto* text = probe::Child<QTextBrowser>(window, "textBrowser");
        Write({"text", Escaped(text ? text->toPlainText() : QString())});
        for (const probe::Row& row : probe::PrivacyRows(window))
            if (row.kind == probe::Row::Subject) Write({"row", row.subject, row.current});
    }

    void Shot(QWidget* window, const QString& file) {
        // On a real display take the picture from the screen, as a person
        // would see it; elsewhere let the window draw itself.
        QPixmap picture;
        QScreen* screen = window->screen();
        if (QGuiApplication::platformName() == QLatin1String("xcb") && screen) {
            const QRect frame = window->frameGeometry();
            picture = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
        }
        if (picture.isNull()) picture = window->grab();
        Write({"shot", file, picture.save(file, "PNG") ? "ok" : "failed"});
    }

    void Next() {
        if (!boxes_) {
            boxes_ = new probe::BoxCatcher;
            boxes_->setParent(this);
        }
        int delay = 0;
        while (!steps_.isEmpty() && delay == 0) {
            const QString line = steps_.takeFirst();
            const QString command = line.section(QLatin1Char(' '), 0, 0);
            const QString argument = line.section(QLatin1Char(' '), 1);
            QMainWindow* window = probe::FindMainWindow();
            if (command.isEmpty()) continue;
            if (!window) {
                Write({"error", "no window"});
                QCoreApplication::exit(3);
                return;
            }
            bool ok = true;
            if (command == "click-tree") {
                ok = probe::ClickTree(window, argument);
            } else if (command == "click-object") {
                ok = probe::ClickObject(window, argument);
            } else if (command == "type") {
                auto* text = probe::Child<QTextBrowser>(window, "textBrowser");
                ok = text != nullptr;
                if (ok) text->setPlainText(QString(argument).replace(QLatin1String("\\n"), QLatin1String("\n")));
            } else if (command == "press") {
                auto* button = probe::Child<QPushButton>(window, argument.toLatin1().constData());
                ok = button != nullptr;
                if (ok) button->click();
            } else if (command == "tab") {
                auto* tabs = probe::Child<QTabWidget>(window, "tabWidget");
                ok = tabs != nullptr;
                if (ok) tabs->setCurrentIndex(argument.toInt());
            } else if (command == "wait") {
                delay = qMax(1, argument.toInt());
            } else if (command == "report") {
                Report(window);
            } else if (command == "shot") {
                Shot(window, argument);
            } else if (command == "quit") {
                FlushBoxes();
                Write({"done"});
                QCoreApplication::exit(0);
                return;
            } else {
                ok = false;
            }
            FlushBoxes();
            if (!ok) Write({"failed", line});
        }
        if (steps_.isEmpty()) return;
        QTimer::singleShot(delay, this, [this] { Next(); });
    }

    QStringList steps_;
    QString report_;
    probe::BoxCatcher* boxes_ = nullptr;
};

void StartDriver() {
    const QString script = qEnvironmentVariable("SARV_INSPECTOR_SCRIPT");
    const QString report = qEnvironmentVariable("SARV_INSPECTOR_REPORT");
    if (script.isEmpty() || report.isEmpty()) return;
    QFile file(script);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return;
    const QStringList steps = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    // Parented to the application, so it goes when the program ends.
    new Driver(steps, report, QCoreApplication::instance());
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(StartDriver)
