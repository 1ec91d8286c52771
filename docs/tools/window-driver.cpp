// Preloaded into the inspector (LD_PRELOAD) by screenshot.sh to use its window as a person
// would. Without SARV_INSPECTOR_SCRIPT it does nothing. The script has one command a line:
//   click-tree KEY      the tree item with that path (or "New ..." text)
//   click-object NAME   an object of the privacy list
//   type TEXT           the view's new text ("\n" for a new line)
//   press NAME          the button with that object name
//   tab N               show tab N
//   wait MS             let the window paint for a while
//   shot FILE           a PNG of the window
//   quit                leave with status 0
// SARV_INSPECTOR_REPORT gets "shot FILE ok|failed", "box TITLE TEXT" for every message box
// (which is then closed) and "failed LINE" for a command that found nothing to act on.
#include <QtWidgets>

#include "mainwindow.h"

namespace {

class Driver : public QObject {
public:
    Driver(QStringList steps, QString report) : steps_(std::move(steps)), report_(std::move(report)) {
        // A message box runs an event loop of its own, in which this timer still fires.
        connect(&boxes_, &QTimer::timeout, this, [this] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
                    Write({"box", box->windowTitle(), box->text().replace('\n', ' ')}), box->done(0);
        });
        boxes_.start(20);
        QTimer::singleShot(0, this, [this] { Next(); });
    }

private:
    void Write(const QStringList& fields) {
        QFile file(report_);
        if (file.open(QIODevice::Append | QIODevice::Text)) QTextStream(&file) << fields.join('\t') << '\n';
    }

    static bool Click(QAbstractItemView* view, int role, const QString& key) {
        QAbstractItemModel* model = view ? view->model() : nullptr;
        if (!model) return false;
        const QModelIndexList found =
            model->match(model->index(0, 0), role, key, 1, Qt::MatchExactly | Qt::MatchRecursive);
        if (found.isEmpty()) return false;
        emit view->clicked(found.first());
        return true;
    }

    // On a real display the picture comes from the screen, as a person sees it.
    static bool Shot(QWidget* window, const QString& file) {
        QPixmap picture;
        if (QGuiApplication::platformName() == QLatin1String("xcb") && window->screen()) {
            const QRect frame = window->frameGeometry();
            picture = window->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
        }
        return (picture.isNull() ? window->grab() : picture).save(file, "PNG");
    }

    bool Do(QWidget* window, const QString& command, const QString& argument, int& delay) {
        if (command == "click-tree") return Click(window->findChild<QTreeView*>("treeView"), kTreePathRole, argument);
        if (command == "click-object") return Click(window->findChild<QListView*>("listView"), Qt::DisplayRole, argument);
        if (command == "wait") return (delay = qMax(1, argument.toInt()));
        if (command == "shot") return Write({"shot", argument, Shot(window, argument) ? "ok" : "failed"}), true;
        if (command == "quit") return QCoreApplication::exit(0), true;
        if (command == "type" && window->findChild<QTextBrowser*>("textBrowser"))
            return window->findChild<QTextBrowser*>("textBrowser")->setPlainText(QString(argument).replace("\\n", "\n")), true;
        if (command == "press" && window->findChild<QPushButton*>(argument))
            return window->findChild<QPushButton*>(argument)->click(), true;
        if (command == "tab" && window->findChild<QTabWidget*>("tabWidget"))
            return window->findChild<QTabWidget*>("tabWidget")->setCurrentIndex(argument.toInt()), true;
        return command.isEmpty();
    }

    void Next() {
        QWidget* window = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->objectName() == "MainWindow") window = widget;
        if (!window) return Write({"failed", "no window"}), QCoreApplication::exit(3);
        for (int delay = 0; !steps_.isEmpty() && delay == 0;) {
            const QString line = steps_.takeFirst();
            if (!Do(window, line.section(' ', 0, 0), line.section(' ', 1), delay)) Write({"failed", line});
            if (delay) QTimer::singleShot(delay, this, [this] { Next(); });
        }
    }

    QStringList steps_;
    QString report_;
    QTimer boxes_;
};

void StartDriver() {
    QFile script(qEnvironmentVariable("SARV_INSPECTOR_SCRIPT"));
    if (!script.open(QIODevice::ReadOnly | QIODevice::Text)) return;
    // Parented to the application, so it goes when the program ends.
    (new Driver(QString::fromUtf8(script.readAll()).split('\n'), qEnvironmentVariable("SARV_INSPECTOR_REPORT")))
        ->setParent(QCoreApplication::instance());
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(StartDriver)
