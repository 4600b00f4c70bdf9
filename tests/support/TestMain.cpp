// Shared main of the test executables: Qt application object first, a private home for the whole run, Polish
// as the interface language (the product's primary one) unless a test picks another.
#include "support/TempHome.h"

#include "core/Localization.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#ifdef QUIPPET_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();

    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (!qEnvironmentVariableIsSet("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());

    // Nothing in a test run may touch the real home directory or settings.
    quippet::test::TempHome processHome;
    TestApplication app(argc, argv);
    quippet::i18n::overrideLanguage(QStringLiteral("pl"));
    return RUN_ALL_TESTS();
}
