#include "app/Application.h"

#include <QApplication>

namespace quippet {
int runApplication(int argc, char** argv) {
    QApplication app(argc, argv);
    return 0;
}
} // namespace quippet
