#include "app/Application.h"

#include "app/AppDelegate.h"
#include "audio/MeetingDetector.h"
#include "audio/PulseAudioSystem.h"
#include "audio/SourceMonitor.h"
#include "core/Clock.h"
#include "core/SingleInstance.h"
#include "platform/DesktopServices.h"
#include "secrets/LibsecretStore.h"

#include <QApplication>
#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

namespace quippet {

namespace {

QList<QUrl> urlArguments(const QStringList& args) {
    QList<QUrl> urls;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QUrl url(args.at(i));
        if (url.isValid() && !url.scheme().isEmpty())
            urls.append(url);
    }
    return urls;
}

} // namespace

int runApplication(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quippet"));
    QApplication::setOrganizationName(QStringLiteral("Quippet"));
    QApplication::setApplicationVersion(QStringLiteral(QUIPPET_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("quippet"));
    // The panel is the only window and may be hidden from the tray: closing windows never ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    const QList<QUrl> urls = urlArguments(QApplication::arguments());
    const QString instanceName = qEnvironmentVariableIsSet("QUIPPET_INSTANCE")
                                     ? qEnvironmentVariable("QUIPPET_INSTANCE")
                                     : SingleInstance::defaultName();
    SingleInstance instance(instanceName);
    QStringList messages;
    for (const QUrl& url : urls)
        messages << url.toString();
    if (instance.sendToRunning(messages, 500))
        return 0; // the running Quippet took over
    instance.listen();

    // The secret store notes through the log, which the controller creates: forward once it exists.
    AppDelegate* delegatePtr = nullptr;
    LibsecretStore secrets([&delegatePtr](const QString& line) {
        if (delegatePtr)
            delegatePtr->log().note(line);
    });

    AppEnvironment env;
    SystemClock clock;
    env.clock = &clock;
    env.secrets = &secrets;
    // The meeting detector watches the same sound-server connection the capture uses.
    PulseAudioSystem* pulse = nullptr;
    env.makeAudioSystem = [&pulse] {
        auto system = std::make_unique<PulseAudioSystem>();
        pulse = system.get();
        return system;
    };
    env.makeSourceMonitor = [&pulse] { return pulse->sourceMonitor(); };
    env.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    env.quit = [] { QApplication::quit(); };
    env.screenCaptureProbe = desktop::screenCaptureWorks;
    env.openSoundSettings = desktop::openSoundSettings;
    env.relaunch = [] {
        // The new process waits for this one's single-instance socket to close before taking over.
        QProcess::startDetached(QApplication::applicationFilePath(), {});
        QApplication::quit();
    };

    AppDelegate delegate(std::move(env));
    delegatePtr = &delegate;
    delegate.log().note(QStringLiteral("start: Quippet %1").arg(QApplication::applicationVersion()));
    delegate.launch();
    delegate.openUrls(urls);
    QObject::connect(&instance, &SingleInstance::messageReceived, &delegate,
                     [&delegate](const QString& message) { delegate.openUrls({QUrl(message)}); });
    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &delegate, [&delegate](Qt::ApplicationState s) {
        if (s == Qt::ApplicationActive)
            delegate.activated();
    });
    const int code = QApplication::exec();
    delegatePtr = nullptr;
    return code;
}

} // namespace quippet
