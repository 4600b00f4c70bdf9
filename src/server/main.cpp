#include "server/Server.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quippet-server"));
    quippet::SystemClock clock;
    return quippet::server::runCommand(app.arguments().mid(1), clock);
}
