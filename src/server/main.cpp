#include "server/Server.h"

#include <QCoreApplication>

#include <sys/resource.h>

#include <algorithm>

int main(int argc, char** argv) {
    // One descriptor per connected program: the soft limit (often 1024) is raised to what the system allows.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 65536);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quippet-server"));
    quippet::SystemClock clock;
    return quippet::server::runCommand(app.arguments().mid(1), clock);
}
