// Pictures of the panel's faces for review: welcome, working without and with an answer card, the options menu
// open, the collapsed orb, the working face in owner mode; then the manager's three tabs and the profile window's
// two, and the pre-call check. Usage: panel_shots <folder> [pl|en]
#include "core/Localization.h"
#include "support/PanelWorld.h"
#include "support/TempHome.h"
#include "ui/KeysWindow.h"
#include "ui/ManagerWindow.h"
#include "ui/OptionsMenu.h"
#include "ui/OverlayPanel.h"
#include "ui/OverlayView.h"
#include "ui/PreflightWindow.h"
#include "ui/ProfileWindow.h"
#include "ui/RootView.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QTabWidget>

#include <cmath>
#include <cstdio>
#include <vector>

using namespace quippet;
using namespace std::chrono_literals;

namespace {

void settle(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool save(const QImage& image, const QString& folder, const QString& name) {
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    const bool ok = image.save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

// A panel as the controller shows it, at the size of its face.
struct Shot {
    test::PanelWorld world;
    RootView* root;
    OverlayPanel panel;

    Shot() : root(new RootView(callbacks(), world.models())), panel(root) {
        world.capture.screenCaptureProbe = [] { return true; };
        world.audio->route.kind = OutputRoute::Kind::Speakers;
        world.capture.start();
        world.clock.advance(2s);
        panel.show();
    }
    static PanelContext callbacks() {
        PanelContext context;
        context.hasBackendToken = [] { return true; };
        return context;
    }
    void working(int height) {
        world.state.setShowingWelcome(false);
        world.capture.setTranscription(true);
        world.state.setElapsed(754);
        world.transcript.add(Utterance::Speaker::Client, QStringLiteral("Ile trwa wdrożenie?"), true);
        world.clock.advance(9s);
        world.transcript.add(Utterance::Speaker::Me, QStringLiteral("Dzień dobry, dziękuję za czas."), true);
        world.transcript.add(Utterance::Speaker::Client,
                             QStringLiteral("Dzień dobry. Zanim przejdziemy do szczegółów, chciałbym zapytać, ile "
                                            "kosztuje wdrożenie dla zespołu pięćdziesięciu osób i jak długo trwa"),
                             false);
        panel.setContentSize(QSize(800, height));
    }
    void speak(float amplitude) {
        const AudioFormat format{48000, 1, AudioFormat::SampleType::Float32, true};
        std::vector<float> samples(480);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = amplitude * float(std::sin(double(i) * 0.3));
        world.audio->play(AudioChannel::System, format, samples);
        std::vector<float> quieter(samples);
        for (float& s : quieter)
            s *= 0.4f;
        world.audio->play(AudioChannel::Mic, format, quieter);
        QApplication::processEvents();
        world.clock.advance(50ms);
    }
    QImage image() {
        settle(200);
        return panel.grab().toImage();
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: panel_shots <folder> [pl|en]\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    test::TempHome home;
    QApplication app(argc, argv);
    i18n::overrideLanguage(argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("pl"));
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    bool ok = true;

    {
        Shot shot;
        shot.world.state.setReady(ReadyState::of(ReadyState::Kind::NeedsLogin));
        shot.panel.setContentSize(QSize(460, 300));
        ok &= save(shot.image(), folder, QStringLiteral("1-welcome"));
    }
    {
        // A team's server was configured and could not be reached: it comes first, own keys one click away.
        Shot shot;
        ReadyState failed = ReadyState::loginFailed(
            i18n::format("login.error.unreachableAt", QStringLiteral("https://quippet.example.com")));
        failed.server = QStringLiteral("https://quippet.example.com");
        shot.world.state.setReady(failed);
        shot.panel.setContentSize(QSize(460, 300));
        ok &= save(shot.image(), folder, QStringLiteral("1-welcome-server"));
    }
    {
        Shot shot;
        shot.working(116);
        shot.speak(0.05f);
        ok &= save(shot.image(), folder, QStringLiteral("2-working"));
    }
    {
        Shot shot;
        shot.working(640);
        shot.world.answer(
            {QStringLiteral("Wdrożenie dla **50 osób** trwa zwykle *4–6 tygodni*. Proponuję powiedzieć:\n\n"),
             QStringLiteral("> „Zaczynamy od pilota na jednym dziale, koszt to $12 000$ netto.”\n\n"),
             QStringLiteral("```json\n{\"stanowiska\": 50, \"tygodnie\": 6}\n```\n\n"),
             QStringLiteral("Jeśli zapyta o `SLA`, odeślij do [umowy](https://example.com/sla).")});
        shot.world.answer({QStringLiteral("Druga odpowiedź.")});
        shot.world.assistant.goBack();
        ok &= save(shot.image(), folder, QStringLiteral("3-card"));
    }
    {
        Shot shot;
        shot.working(116);
        OptionsMenu* menu = shot.root->overlayView()->optionsMenu();
        menu->popup(QPoint(0, 0));
        settle(200);
        const QImage panel = shot.panel.grab().toImage();
        const QImage list = menu->grab().toImage();
        QImage canvas(std::max(panel.width(), 800), 44 + list.height(), QImage::Format_ARGB32_Premultiplied);
        canvas.fill(QColor(60, 64, 72));
        QPainter p(&canvas);
        p.drawImage(0, 0, panel);
        p.drawImage(canvas.width() - list.width() - 40, 44, list);
        p.end();
        menu->hide();
        ok &= save(canvas, folder, QStringLiteral("4-menu"));
    }
    {
        Shot shot;
        shot.world.state.setCollapsed(true);
        shot.panel.setContentSize(QSize(44, 44));
        shot.speak(0.08f);
        const QImage orb = shot.image();
        ok &= save(orb.scaled(orb.size() * 3, Qt::KeepAspectRatio, Qt::SmoothTransformation), folder,
                   QStringLiteral("5-orb-x3"));
    }
    {
        qputenv("QUIPPET_OWNER", "1");
        Shot shot;
        shot.working(146);
        shot.world.capture.note(QStringLiteral("ASR: łączę ze Scribe (pl, region EU)"));
        shot.world.capture.note(QStringLiteral("KLIENT: połączono"));
        ok &= save(shot.image(), folder, QStringLiteral("6-working-owner"));
        qunsetenv("QUIPPET_OWNER");
    }
    {
        test::PanelWorld world;
        const QString context = QDir::homePath() + QStringLiteral("/quippet-context/");
        QDir().mkpath(context);
        for (auto [name, size] :
             {std::pair{"oferta.md", 2300}, std::pair{"cennik-2026.pdf", 48200}, std::pair{"obiekcje.txt", 5100}}) {
            QFile file(context + QLatin1String(name));
            if (file.open(QIODevice::WriteOnly))
                file.write(QByteArray(size, 'x'));
        }
        QFile self(context + QStringLiteral("o-mnie.md"));
        if (self.open(QIODevice::WriteOnly))
            self.write(QStringLiteral("# Anna Nowak\n\nOd ośmiu lat wdrażam systemy CRM w firmach produkcyjnych "
                                      "(50–500 osób). Mówię konkretnie, po imieniu, bez żargonu.\n")
                           .toUtf8());
        self.close();
        world.assistant.reloadContext();
        world.sessions.setCompany(QStringLiteral("Acme"));
        world.sessions.setTopic(QStringLiteral("Wdrożenie CRM"));
        world.sessions.finish(QStringLiteral("[00:01] KLIENT: Dzień dobry"), QStringLiteral("Notatka"));
        world.sessions.startNew();
        world.sessions.setName(QStringLiteral("Anna Kowalska"));
        world.sessions.setCompany(QStringLiteral("Beta sp. z o.o."));
        world.sessions.setMode(ConversationMode::Evaluation);
        ManagerWindow manager(world.sessions, world.assistant);
        manager.present();
        const char* names[] = {"7-manager-conversation", "8-manager-context", "9-manager-history"};
        for (int tab = 0; tab < 3; ++tab) {
            manager.setTab(tab);
            settle(100);
            ok &= save(manager.grab().toImage(), folder, QLatin1String(names[tab]));
        }
        ProfileWindow profile;
        profile.present();
        settle(100);
        ok &= save(profile.grab().toImage(), folder, QStringLiteral("10-profile"));
        profile.findChild<QTabWidget*>()->setCurrentIndex(1);
        settle(100);
        ok &= save(profile.grab().toImage(), folder, QStringLiteral("11-profile-documents"));
    }
    {
        // The pre-call check after a run on a laptop without headphones.
        test::PanelWorld world;
        PreflightWindow check(world.capture);
        using S = PreflightRow::State;
        check.setRows({
            {i18n::text("preflight.item.system"),
             S::Passed,
             i18n::format("preflight.system.ok", "Built-in Audio"),
             {},
             {},
             false},
            {i18n::text("preflight.item.mic"),
             S::Passed,
             i18n::text("preflight.mic.ok"),
             i18n::text("preflight.mic.speak"),
             {},
             true},
            {i18n::text("preflight.item.echo"), S::Warning, i18n::format("preflight.echo.leak", "-18"),
             i18n::text("preflight.echo.advice"), i18n::text("preflight.fix.echo"), false},
            {i18n::text("preflight.item.stt"), S::Failed, i18n::text("preflight.stt.badKey"),
             i18n::text("preflight.keys.advice"), i18n::text("preflight.fix.keys"), false},
            {i18n::text("preflight.item.llm"),
             S::Warning,
             i18n::format("preflight.llm.retired", "gemini-flash-latest", "gemini-flash-lite-latest"),
             {},
             {},
             false},
            {i18n::text("preflight.item.backend"), S::Skipped, i18n::text("preflight.backend.ownKeys"), {}, {}, false},
        });
        check.setRunning(true);
        check.setRunning(false);
        check.setFooter(i18n::format("preflight.duration", "3.4"));
        check.present();
        settle(150);
        ok &= save(check.grab().toImage(), folder, QStringLiteral("12-preflight"));
    }
    {
        // The keys window with both keys stored, after checking the speech key.
        test::MemorySecretStore secrets;
        Keychain keychain(secrets);
        keychain.write(QLatin1String(Keychain::kElevenLabsKey), QStringLiteral("sk_shot"));
        keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("AIza_shot"));
        KeysWindow::Services services;
        services.verifySpeech = [](std::function<void(SpeechVerdict)> done) {
            done({SpeechVerdict::Passed, i18n::text("preflight.stt.ok")});
        };
        KeysWindow keys(keychain, services);
        keys.verifySpeech();
        keys.present();
        settle(150);
        ok &= save(keys.grab().toImage(), folder, QStringLiteral("13-keys"));
    }
    return ok ? 0 : 1;
}
