#include "publishcommand.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return runPublishCommand(QCoreApplication::arguments());
}
