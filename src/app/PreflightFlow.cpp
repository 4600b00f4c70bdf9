#include "app/PreflightFlow.h"

#include "core/Clock.h"
#include "core/Localization.h"
#include "ui/PreflightWindow.h"

#include <QLocale>

namespace quippet {

namespace {

using Item = PreflightLine::Item;
using Fix = PreflightLine::Fix;

const char* titleKey(Item item) {
    switch (item) {
    case Item::SystemAudio:
        return "preflight.item.system";
    case Item::Microphone:
        return "preflight.item.mic";
    case Item::EchoPath:
        return "preflight.item.echo";
    case Item::Transcription:
        return "preflight.item.stt";
    case Item::LanguageModel:
        return "preflight.item.llm";
    case Item::Backend:
        return "preflight.item.backend";
    case Item::Screenshots:
        return "preflight.item.screen";
    }
    return "";
}

QString fixLabel(Fix fix) {
    switch (fix) {
    case Fix::None:
        return {};
    case Fix::OpenSoundSettings:
        return i18n::text("preflight.fix.sound");
    case Fix::EchoCancellation:
        return i18n::text("preflight.fix.echo");
    case Fix::OpenKeys:
        return i18n::text("preflight.fix.keys");
    case Fix::SignIn:
        return i18n::text("preflight.fix.signIn");
    }
    return {};
}

} // namespace

PreflightFlow::PreflightFlow(PreflightCheck::Parts parts, bool windows, QObject* parent)
    : QObject(parent), m_check(std::make_unique<PreflightCheck>(std::move(parts))), m_windows(windows) {
    connect(m_check.get(), &PreflightCheck::linesChanged, this, &PreflightFlow::refresh);
    connect(m_check.get(), &PreflightCheck::runningChanged, this, &PreflightFlow::refresh);
}

PreflightFlow::~PreflightFlow() {
    // The window reads the check while it goes; it goes first.
    m_window.reset();
}

QList<PreflightRow> PreflightFlow::rows() const {
    QList<PreflightRow> rows;
    for (const PreflightLine& line : m_check->lines()) {
        PreflightRow row;
        row.title = i18n::text(titleKey(line.item));
        // The window names the verdicts in the same order.
        static_assert(int(PreflightRow::State::Skipped) == int(PreflightLine::Verdict::Skipped));
        row.state = PreflightRow::State(int(line.verdict));
        row.detail = line.verdict == PreflightLine::Verdict::Waiting ? QString() : line.detail;
        row.advice = line.advice;
        row.fixLabel = fixLabel(line.fix);
        row.showsMicLevel = line.item == Item::Microphone;
        rows.append(row);
    }
    return rows;
}

void PreflightFlow::ensureWindow() {
    if (!m_windows || m_window)
        return;
    m_window = std::make_unique<PreflightWindow>(m_check->parts().capture);
    connect(m_window.get(), &PreflightWindow::runClicked, this, [this] {
        m_window->setIntro(i18n::text("preflight.intro"));
        m_check->run();
    });
    connect(m_window.get(), &PreflightWindow::fixClicked, this, [this](int row) { fix(Item(row)); });
    refresh();
}

void PreflightFlow::refresh() {
    if (!m_window)
        return;
    m_window->setRows(rows());
    m_window->setRunning(m_check->running());
    const auto took = m_check->lastDuration();
    m_window->setFooter(took && !m_check->running()
                            ? i18n::format("preflight.duration",
                                           QLocale(i18n::language()).toString(double(took->count()) / 1000.0, 'f', 1))
                            : QString());
}

void PreflightFlow::open() {
    ensureWindow();
    if (m_window) {
        m_window->setIntro(i18n::text("preflight.intro"));
        m_window->present();
    }
    if (!m_check->running())
        m_check->run();
}

bool PreflightFlow::offer() {
    if (m_offered || m_check->running() || !PreflightCheck::isDue(m_check->parts().clock.nowMs()))
        return false;
    m_offered = true;
    ensureWindow();
    if (m_window) {
        m_window->setIntro(i18n::text("preflight.offer"));
        m_window->present();
    }
    return true;
}

void PreflightFlow::fix(Item item) {
    switch (m_check->line(item).fix) {
    case Fix::None:
        break;
    case Fix::OpenSoundSettings:
        emit soundSettingsWanted();
        break;
    case Fix::EchoCancellation:
        m_check->enableEchoCancellation();
        break;
    case Fix::OpenKeys:
        emit keysWanted();
        break;
    case Fix::SignIn:
        emit signInWanted();
        break;
    }
}

} // namespace quippet
