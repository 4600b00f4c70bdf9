#include "app/Application.h"

#include "app/AppController.h"
#include "audio/MeetingDetector.h"
#include "audio/PulseAudioSystem.h"
#include "audio/SourceMonitor.h"
#include "core/Clock.h"
#include "core/SingleInstance.h"
#include "platform/Commands.h"
#include "platform/DesktopServices.h"
#include "secrets/LibsecretStore.h"
#include "ui/InstallOffer.h"
#include "ui/QuitQuestion.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QProcess>
#include <QThread>
#include <QUrl>

#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/types.h>

namespace quippet {

namespace {

// How long a relaunched Quippet waits for the process it replaces to end.
constexpr int kRelaunchWaitMs = 10'000;

struct Arguments {
    QList<QUrl> urls;
    QStringList actions; // the commands' flags: --answer, --analyze-screen, --toggle-panel, ...
    qint64 afterPid = 0; // --after PID: the process this one replaces
};

Arguments parse(const QStringList& args) {
    Arguments parsed;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--after") && i + 1 < args.size()) {
            parsed.afterPid = args.at(++i).toLongLong();
        } else if (!Commands::fromFlag(arg).isEmpty()) {
            parsed.actions << arg;
        } else {
            const QUrl url(arg);
            if (url.isValid() && !url.scheme().isEmpty())
                parsed.urls.append(url);
        }
    }
    return parsed;
}

// A relaunch starts the new process before the old one has quit; taking over its single-instance socket (or
// handing it a message) while it is still going away would leave no Quippet running.
// True when it has ended (or there was none).
bool waitForExit(qint64 pid) {
    if (pid <= 0)
        return true;
    QDeadlineTimer deadline(kRelaunchWaitMs);
    while (::kill(pid_t(pid), 0) == 0 && !deadline.hasExpired())
        QThread::msleep(20);
    return ::kill(pid_t(pid), 0) != 0;
}

// Hands the start's commands and URLs to a running Quippet (nothing then), or becomes the running one: whether it
// listens for later starts.
std::optional<bool> claim(SingleInstance& instance, const Arguments& args) {
    QStringList messages = args.actions;
    for (const QUrl& url : args.urls)
        messages << url.toString();
    // A relaunch never hands over to the instance it replaces (that one is on its way out): it takes its place.
    const bool relaunched = args.afterPid > 0;
    if (!relaunched && instance.sendToRunning(messages, 500))
        return std::nullopt;
    const bool listening = instance.listen(relaunched ? SingleInstance::Mode::TakeOver : SingleInstance::Mode::Normal);
    // Another start may have taken the socket between our try and our listen: it is the running one then.
    if (!listening && instance.sendToRunning(messages, 500))
        return std::nullopt;
    return listening;
}

void describeApplication() {
    QApplication::setApplicationName(QStringLiteral("Quippet"));
    QApplication::setOrganizationName(QStringLiteral("Quippet"));
    QApplication::setApplicationVersion(QStringLiteral(QUIPPET_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("app.quippet.Quippet"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/app.quippet.Quippet.svg")));
    // The panel is the only window and may be hidden from the tray: closing windows never ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
}

// The desktop's own services; `pulse` is the sound-server connection once the capture has made it.
AppEnvironment desktopEnvironment(Clock& clock, SecretStore& secrets, PulseAudioSystem*& pulse) {
    AppEnvironment env;
    env.clock = &clock;
    env.secrets = &secrets;
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
    env.openScreenSettings = desktop::openScreenSettings;
    env.askToInstall = askToInstall;
    env.wayland = desktop::isWaylandSession();
    env.relaunch = [](const QString& binary) {
        // The new process waits for this one to end before it takes over the single-instance socket.
        QProcess process;
        process.setProgram(binary.isEmpty() ? QApplication::applicationFilePath() : binary);
        process.setArguments({QStringLiteral("--after"), QString::number(QApplication::applicationPid())});
        return process.startDetached() ? QString() : process.errorString();
    };
    env.askBeforeQuit = askBeforeQuit;
    return env;
}

} // namespace

// What the command line can be answered without a desktop: the version and the usage; without a graphical session
// anything else ends with one plain line instead of the toolkit's abort.
std::optional<int> answerWithoutDesktop(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--version" || arg == "-v") {
            std::printf("Quippet %s\n", QUIPPET_VERSION);
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::printf("Usage: quippet [COMMAND]\n"
                        "A live-call prompter: hears both sides of a call and suggests what to say.\n\n"
                        "Commands, handed to the running Quippet (it is started when none runs):\n"
                        "%s\n"
                        "  --version            print the version\n"
                        "  --help               print this help\n",
                        Commands::usage().constData());
            return 0;
        }
    }
    // A platform plugin named outright (offscreen, vnc, ...) is the user's choice; otherwise a display is needed.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const bool needsDisplay = platform.isEmpty() || platform.startsWith("xcb") || platform.startsWith("wayland");
    if (needsDisplay && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "Quippet needs a graphical desktop session\n");
        return 1;
    }
    return std::nullopt;
}

int runApplication(int argc, char** argv) {
    if (const auto code = answerWithoutDesktop(argc, argv))
        return *code;
    const QString platformNote = desktop::choosePlatform();
    QApplication app(argc, argv);
    describeApplication();

    const Arguments args = parse(QApplication::arguments());
    const bool replacedEnded = waitForExit(args.afterPid);
    SingleInstance instance(qEnvironmentVariableIsSet("QUIPPET_INSTANCE") ? qEnvironmentVariable("QUIPPET_INSTANCE")
                                                                          : QStringLiteral("quippet.sock"));
    const std::optional<bool> listening = claim(instance, args);
    if (!listening)
        return 0; // the running Quippet took over

    // The secret store notes through the log, which the controller creates: forward once it exists.
    AppController* controllerPtr = nullptr;
    LibsecretStore secrets([&controllerPtr](const QString& line) {
        if (controllerPtr)
            controllerPtr->log().note(line);
    });

    SystemClock clock;
    // The meeting detector watches the same sound-server connection the capture uses.
    PulseAudioSystem* pulse = nullptr;
    AppController controller(desktopEnvironment(clock, secrets, pulse));
    controllerPtr = &controller;
    // Hand-offs may arrive while the launch still runs (waiting for the keyring lets the event loop turn): they
    // are kept until the controller can take them.
    QStringList handedOver;
    auto take = [&controller, &handedOver](const QString& message) {
        if (!controller.launched())
            handedOver << message;
        else if (!controller.runCommand(message))
            controller.openUrls({QUrl(message)});
    };
    QObject::connect(&instance, &SingleInstance::messageReceived, &controller, take);
    controller.log().note(QStringLiteral("start: Quippet %1").arg(QApplication::applicationVersion()));
    if (!replacedEnded)
        controller.log().note(QStringLiteral("start: poprzednia instancja wciąż działa — przejmuję jej polecenia"));
    if (!*listening)
        controller.log().note(QStringLiteral("start: nie mogę nasłuchiwać poleceń (%1)").arg(instance.path()));
    if (!platformNote.isEmpty())
        controller.log().note(platformNote);
    controller.launch();
    if (!controller.launched())
        return 0; // an installed copy takes over
    controller.openUrls(args.urls);
    for (const QString& action : args.actions)
        controller.runCommand(action);
    for (const QString& message : std::exchange(handedOver, {}))
        take(message);
    const int code = QApplication::exec();
    controllerPtr = nullptr;
    return code;
}

} // namespace quippet
