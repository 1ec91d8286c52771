#include <QApplication>
#include <QIcon>

#include "inspector-resources.h"
#include "mainwindow.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    MainWindow window;
    window.setWindowIcon(QIcon(kWindowIconFile));
    window.show();
    return app.exec();
}
