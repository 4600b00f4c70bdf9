#include "ui/OptionsMenu.h"

#include "assistant/Assistant.h"
#include "assistant/ContextDocuments.h"
#include "audio/AudioCapture.h"
#include "audio/MeetingDetector.h"
#include "backend/Backend.h"
#include "core/Localization.h"
#include "core/OwnerMode.h"
#include "platform/Autostart.h"
#include "speech/TranscriptBuffer.h"
#include "speech/UsageMeter.h"
#include "ui/OverlayText.h"
#include "ui/PanelState.h"

#include <QActionGroup>
#include <QFontMetrics>

namespace quippet {

namespace {

// The account page: the backend's address with "panel" as one more path component.
QUrl accountPage() {
    QUrl url = Backend::baseURL();
    QString path = url.path();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    url.setPath(path + QStringLiteral("panel"));
    return url;
}

} // namespace

const QList<OptionsMenu::Language>& OptionsMenu::languages() {
    static const QList<Language> list{
        {"pl", "menu.language.pl"}, {"en", "menu.language.en"}, {"de", "menu.language.de"}, {"es", "menu.language.es"},
        {"fr", "menu.language.fr"}, {"uk", "menu.language.uk"}, {"it", "menu.language.it"}, {"cs", "menu.language.cs"},
    };
    return list;
}

OptionsMenu::OptionsMenu(Kind kind, PanelModels models, const PanelContext& context, QWidget* parent)
    : QMenu(parent), m_kind(kind), m_models(models), m_context(context) {
    setObjectName(kind == Kind::Welcome ? QStringLiteral("welcomeMenu") : QStringLiteral("optionsMenu"));
    setStyleSheet(QStringLiteral(
        "QMenu { background: rgb(32,32,36); color: rgb(240,240,240); border: 1px solid rgba(255,255,255,40);"
        " padding: 4px 0; }"
        "QMenu::item { padding: 4px 22px 4px 24px; }"
        "QMenu::item:selected { background: rgba(38,207,140,150); }"
        "QMenu::item:disabled { color: rgba(240,240,240,130); }"
        "QMenu::separator { height: 1px; background: rgba(255,255,255,36); margin: 4px 8px; }"
        "QMenu::indicator { width: 12px; height: 12px; left: 6px; }"));
    // Only entries given a tooltip of their own show one.
    setToolTipsVisible(true);
    connect(this, &QMenu::aboutToShow, this, &OptionsMenu::rebuild);
}

void OptionsMenu::rebuild() {
    clear();
    if (m_kind == Kind::Welcome)
        buildWelcome();
    else
        buildOverlay();
}

QAction* OptionsMenu::entry(const char* key, const std::function<void()>& action) {
    QAction* a = addAction(i18n::text(key));
    a->setObjectName(QLatin1String(key));
    connect(a, &QAction::triggered, this, [action] {
        if (action)
            action();
    });
    return a;
}

QAction* OptionsMenu::command(const char* key, const char* name) {
    return entry(key, [this, name] { m_context.trigger(name); });
}

QAction* OptionsMenu::toggle(const char* key, bool on, const std::function<void(bool)>& changed) {
    QAction* a = addAction(i18n::text(key));
    a->setObjectName(QLatin1String(key));
    a->setCheckable(true);
    a->setChecked(on);
    connect(a, &QAction::toggled, this, changed);
    return a;
}

// A group's title. The style draws QMenu sections as bare separators, so the title is a line of its own.
void OptionsMenu::section(const QString& title, const char* name) {
    if (!isEmpty())
        addSeparator();
    QAction* a = addAction(title);
    a->setObjectName(QLatin1String(name));
    a->setEnabled(false);
    QFont font = a->font();
    font.setBold(true);
    a->setFont(font);
}

// A line of information. It stays enabled, so that arrowing through the menu reaches it and a screen reader speaks
// it; choosing it does `action` (nothing when unset) and closes the menu.
QAction* OptionsMenu::line(const QString& text, const char* name, const std::function<void()>& action) {
    QAction* a = addAction(text);
    a->setObjectName(QLatin1String(name));
    connect(a, &QAction::triggered, this, [action] {
        if (action)
            action();
    });
    return a;
}

// Which way in is in use, and the other one: signed in, the account (e-mail, time left) and signing out; on own
// keys, that, and signing in to a server; with neither, both ways.
void OptionsMenu::accountEntries() {
    const PanelContext& cx = m_context;
    const bool signedIn = cx.hasBackendToken && cx.hasBackendToken();
    if (signedIn) {
        Backend& backend = m_models.backend;
        const auto openAccount = [this] {
            if (m_context.openUrl)
                m_context.openUrl(accountPage());
        };
        if (const auto email = backend.email())
            line(*email, "accountEmail", openAccount);
        line(overlay::accountBalanceLine(backend.tier(), backend.secondsRemaining()), "accountBalance", openAccount);
        if (m_kind == Kind::Overlay)
            entry("menu.topUp", openAccount);
        command("menu.signOut", "sign-out");
        return;
    }
    const bool ownKeys = cx.hasOwnKeys && cx.hasOwnKeys();
    line(i18n::text(ownKeys ? "menu.account.ownKeys" : "menu.account.noRoute"), "accountRoute",
         [this] { m_context.trigger("keys"); });
    command("menu.account.server", "sign-in");
}

void OptionsMenu::buildWelcome() {
    // The keys window serves every user: own keys are the way in without an account.
    command("menu.keys", "keys");
    command("menu.preflight", "check");
    command("menu.manager", "manager");
    rehearsalEntries();
    entry("menu.contextFolder", [] { Onboarding::openFolder(); });
    command("menu.shortcuts", "shortcuts");
    command("menu.checkUpdates", "check-updates");
    addSeparator();
    accountEntries();
    addSeparator();
    toggle("menu.launchAtLogin", LaunchAtLogin::isEnabled(), [](bool on) { LaunchAtLogin::set(on); });
    toggle("menu.meetingDetect", MeetingDetector::isEnabled(), [](bool on) { MeetingDetector::setEnabled(on); });
}

// The practice conversation: its entry starts or ends it; while it runs, the question asked and a skip.
void OptionsMenu::rehearsalEntries() {
    const PanelContext& cx = m_context;
    const RehearsalView view = cx.rehearsal ? cx.rehearsal() : RehearsalView{};
    QAction* start = command(view.running ? "menu.rehearsalEnd" : "menu.rehearsal", "practise");
    if (view.running) {
        if (!view.status.isEmpty())
            line(QFontMetrics(font()).elidedText(view.status, Qt::ElideRight, 420), "rehearsalStatus", {});
        command("menu.rehearsalNext", "practise-next");
        return;
    }
    QStringList hint{i18n::text("menu.rehearsal.hint")};
    // Listening is metered as in a real call.
    if (cx.hasBackendToken && cx.hasBackendToken())
        hint << i18n::text("menu.rehearsal.metered");
    if (!view.available) {
        hint << i18n::text("menu.rehearsal.install");
        start->setEnabled(false);
        // A disabled entry is passed over by the keyboard: what to install is a line of its own.
        line(i18n::text("menu.rehearsal.install"), "rehearsalInstall", {});
    }
    start->setToolTip(hint.join(QLatin1Char(' ')));
    start->setStatusTip(start->toolTip());
}

void OptionsMenu::buildOverlay() {
    AudioCapture& capture = m_models.capture;
    Assistant& assistant = m_models.assistant;

    section(i18n::text("menu.account"), "accountSection");
    accountEntries();

    section(i18n::text("menu.language"), "languageSection");
    auto* group = new QActionGroup(this);
    for (const Language& language : languages()) {
        const QString code = QLatin1String(language.code);
        QAction* a = toggle(language.nameKey, capture.language() == code, [&capture, code](bool on) {
            if (on)
                capture.setLanguage(code);
        });
        group->addAction(a);
    }
    addSeparator();

    // Listening goes through the controller, which opens and meters the backend session and runs the clock.
    toggle("menu.transcription", capture.transcriptionEnabled(), [this](bool on) {
        if (on != m_models.capture.transcriptionEnabled())
            m_context.trigger("toggle-listening");
    });
    toggle("menu.echo", capture.echoCancellation(), [&capture](bool on) { capture.setEchoCancellation(on); });
    toggle("menu.autoAnswer", assistant.autoAnswer(), [&assistant](bool on) { assistant.setAutoAnswer(on); });
    // No Linux desktop lets an application keep its window out of screen sharing: the line says so.
    line(i18n::text("menu.private"), "menu.private", {});
    toggle("menu.meetingDetect", MeetingDetector::isEnabled(), [](bool on) { MeetingDetector::setEnabled(on); });

    section(i18n::format("menu.context", i18n::formatNumber(assistant.contextFiles().size())), "contextSection");
    command("menu.profileEditor", "profile");
    entry("menu.contextOpen", [] { Onboarding::openFolder(); });
    entry("menu.contextReload", [&assistant] { assistant.reloadContext(); });
    addSeparator();

    command("menu.preflight", "check");
    command("menu.manager", "manager");
    rehearsalEntries();
    entry("menu.clearTranscript", [this] { m_models.transcript.clear(); });
    if (OwnerMode::isOn()) {
        QAction* usage = addAction(m_models.usage.summary());
        usage->setObjectName(QStringLiteral("usageItem"));
        connect(usage, &QAction::triggered, &m_models.usage, [this] { m_models.usage.refresh(false); });
    }
    addSeparator();
    command("menu.keys", "keys");
    command("menu.position", "position");
    command("menu.shortcuts", "shortcuts");
    command("menu.checkUpdates", "check-updates");
    addSeparator();
    command("chrome.quit", "quit");
}

} // namespace quippet
