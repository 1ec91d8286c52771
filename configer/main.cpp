#include <QCoreApplication>

#include "configer.h"

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    return RunConfiger(argc, argv);
}
