#include "app/PreflightCheck.h"

#include "assistant/LlmClient.h"
#include "audio/AudioCapture.h"
#include "backend/Backend.h"
#include "core/Clock.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "secrets/Credentials.h"
#include "secrets/Keychain.h"
#include "speech/SpeechProbe.h"

#include <QMetaObject>

#include <cmath>

namespace quippet {

namespace {

using Item = PreflightLine::Item;
using Verdict = PreflightLine::Verdict;
using Fix = PreflightLine::Fix;

constexpr int kItems = 7;
constexpr qint64 kDayMs = 24LL * 60 * 60 * 1000;

QString decibels(double db) {
    return QString::number(std::lround(db));
}

const char* itemName(Item item) {
    switch (item) {
    case Item::SystemAudio:
        return "audio systemowe";
    case Item::Microphone:
        return "mikrofon";
    case Item::EchoPath:
        return "echo";
    case Item::Transcription:
        return "transkrypcja";
    case Item::LanguageModel:
        return "model językowy";
    case Item::Backend:
        return "serwer Quippet";
    case Item::Screenshots:
        return "zrzuty ekranu";
    }
    return "?";
}

const char* verdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Waiting:
        return "czeka";
    case Verdict::Checking:
        return "sprawdzam";
    case Verdict::Passed:
        return "OK";
    case Verdict::Warning:
        return "uwaga";
    case Verdict::Failed:
        return "BŁĄD";
    case Verdict::Skipped:
        return "pominięte";
    }
    return "?";
}

} // namespace

PreflightCheck::PreflightCheck(Parts parts, QObject* parent) : QObject(parent), m_parts(std::move(parts)) {
    for (int i = 0; i < kItems; ++i)
        m_lines.append(PreflightLine{Item(i), Verdict::Waiting, {}, {}, Fix::None});
    m_deadline = m_parts.clock.createTimer(this);
    m_deadline->setSingleShot(true);
    connect(m_deadline, &Timer::timeout, this, &PreflightCheck::timedOut);
    m_probe = new ToneProbe(m_parts.clock, m_parts.capture, this);
    connect(m_probe, &ToneProbe::measured, this, &PreflightCheck::judgeTone);
    connect(m_probe, &ToneProbe::notPlayed, this, &PreflightCheck::toneNotPlayed);
    connect(m_probe, &ToneProbe::noAudio, this, &PreflightCheck::noAudio);
    m_speechProbe = new SpeechProbe(m_parts.clock, this);
    connect(m_speechProbe, &SpeechProbe::finished, this, &PreflightCheck::endTranscription);
}

bool PreflightCheck::isDue(qint64 nowMs) {
    const qint64 last = Settings::value(Settings::kPreflightLastRun, QVariant(qint64(0))).toLongLong();
    return last <= 0 || nowMs - last >= kDayMs || nowMs < last;
}

void PreflightCheck::run() {
    m_probe->stop();
    m_speechProbe->cancel();
    delete m_llmContext; // callbacks of an abandoned run go nowhere
    m_llmContext = new QObject(this);
    for (PreflightLine& line : m_lines)
        line = PreflightLine{line.item, Verdict::Checking, i18n::text("preflight.checking"), {}, Fix::None};
    m_leakWith.reset();
    m_leakWithout.reset();
    m_cutShort = false;
    m_startedAt = m_parts.clock.monotonic();
    m_running = true;
    m_parts.log.note(QStringLiteral("sprawdzenie: start"));
    emit runningChanged();
    emit linesChanged();
    m_deadline->start(kTimeout);

    startAudio(false);
    const bool signedIn = m_parts.keychain.hasBackendToken();
    startTranscription();
    startLanguageModel(signedIn);
    startBackend(signedIn);
    judgeScreenshots();
}

// Known without asking again: a question of the desktop's own would come up in the middle of the check.
void PreflightCheck::judgeScreenshots() {
    const std::optional<bool> allowed =
        m_parts.screenshotsAllowed ? m_parts.screenshotsAllowed() : std::optional<bool>(true);
    if (!m_parts.screenshotsAllowed)
        set(Item::Screenshots, Verdict::Passed, i18n::text("preflight.screen.free"));
    else if (!allowed)
        set(Item::Screenshots, Verdict::Skipped, i18n::text("preflight.screen.notAsked"));
    else if (*allowed)
        set(Item::Screenshots, Verdict::Passed, i18n::text("preflight.screen.allowed"));
    else
        set(Item::Screenshots, Verdict::Failed, i18n::text("preflight.screen.refused"),
            i18n::text("preflight.screen.advice"));
}

void PreflightCheck::set(Item item, Verdict verdict, const QString& detail, const QString& advice, Fix fix) {
    PreflightLine& line = m_lines[int(item)];
    line.verdict = verdict;
    line.detail = detail;
    line.advice = advice;
    line.fix = fix;
    if (verdict != Verdict::Checking) {
        // The log says what the user saw; the texts hold no secret (keys never reach them).
        m_parts.log.note(QStringLiteral("sprawdzenie: %1 — %2: %3")
                             .arg(QString::fromUtf8(itemName(item)), QString::fromUtf8(verdictName(verdict)), detail));
    }
    emit linesChanged();
    maybeFinish();
}

bool PreflightCheck::pending(Item item) const {
    return m_lines.at(int(item)).verdict == Verdict::Checking;
}

void PreflightCheck::maybeFinish() {
    if (!m_running)
        return;
    for (const PreflightLine& line : m_lines)
        if (line.verdict == Verdict::Checking)
            return;
    m_running = false;
    m_deadline->stop();
    const auto took = m_parts.clock.monotonic() - m_startedAt;
    // A check cut short by its deadline tells little: the offer at the next call stays due.
    if (!m_echoOnly && !m_cutShort) {
        m_lastDuration = took;
        Settings::setValue(Settings::kPreflightLastRun, m_parts.clock.nowMs());
    }
    m_parts.log.note(QStringLiteral("sprawdzenie: koniec po %1 ms").arg(took.count()));
    emit runningChanged();
    emit finished();
}

void PreflightCheck::timedOut() {
    m_cutShort = true;
    m_probe->stop();
    m_speechProbe->cancel();
    delete m_llmContext;
    for (int i = 0; i < kItems; ++i)
        if (pending(Item(i)))
            set(Item(i), Verdict::Failed, i18n::text("preflight.timeout"));
}

// --- Audio: the tone through the output and back, the microphone, and what of the tone the microphone hears ---

void PreflightCheck::startAudio(bool echoOnly) {
    AudioCapture& capture = m_parts.capture;
    m_echoOnly = echoOnly;
    if (!echoOnly) {
        if (capture.micPermission() == PermissionState::Denied)
            set(Item::Microphone, Verdict::Failed, i18n::text("preflight.mic.none"), i18n::text("preflight.mic.pick"),
                Fix::OpenSoundSettings);
        else
            set(Item::Microphone, Verdict::Checking, i18n::text("preflight.mic.waiting"));
    }
    m_probe->start(echoOnly ? ToneProbe::Tone::ForNewCanceller : ToneProbe::Tone::Plain);
}

void PreflightCheck::toneNotPlayed(const std::optional<QString>& error) {
    set(Item::SystemAudio, Verdict::Failed,
        i18n::format("preflight.system.notPlayed", error.value_or(i18n::text("preflight.timeout"))),
        i18n::text("preflight.system.pick"), Fix::OpenSoundSettings);
    if (pending(Item::EchoPath))
        set(Item::EchoPath, Verdict::Skipped, i18n::text("preflight.echo.needsTone"));
    judgeMic();
}

void PreflightCheck::judgeMic() {
    if (m_echoOnly || !pending(Item::Microphone))
        return;
    const ToneMeter& meter = m_probe->meter();
    if (meter.mark().mic == 0)
        set(Item::Microphone, Verdict::Failed, i18n::text("preflight.mic.silentStream"),
            i18n::text("preflight.mic.pick"), Fix::OpenSoundSettings);
    else if (meter.power(AudioChannel::Mic, 0, meter.mark().mic).value_or(0) <= 0) // nothing but zeros
        set(Item::Microphone, Verdict::Warning, i18n::text("preflight.mic.zeros"), i18n::text("preflight.mic.unmute"),
            Fix::OpenSoundSettings);
    else
        set(Item::Microphone, Verdict::Passed, i18n::text("preflight.mic.ok"), i18n::text("preflight.mic.speak"));
}

void PreflightCheck::judgeTone(const ToneProbe::Result& result) {
    AudioCapture& capture = m_parts.capture;
    const qint64 micBuffers = m_probe->meter().mark().mic;
    judgeMic();

    const ToneReading& whole = result.whole;
    const ToneReading& echo = result.echo;
    const QString device = capture.outputRoute().deviceName.isEmpty() ? capture.outputRoute().description
                                                                      : capture.outputRoute().deviceName;
    if (!whole.heard) {
        if (pending(Item::SystemAudio))
            set(Item::SystemAudio, Verdict::Failed, i18n::format("preflight.system.notHeard", device),
                i18n::text("preflight.system.pick"), Fix::OpenSoundSettings);
        if (pending(Item::EchoPath))
            set(Item::EchoPath, Verdict::Skipped, i18n::text("preflight.echo.needsTone"));
        return;
    }
    if (pending(Item::SystemAudio))
        set(Item::SystemAudio, Verdict::Passed, i18n::format("preflight.system.ok", device));
    if (!pending(Item::EchoPath))
        return;
    if (micBuffers == 0) {
        set(Item::EchoPath, Verdict::Skipped, i18n::text("preflight.echo.needsMic"));
        return;
    }
    if (!echo.heard) { // the tone went missing after its first second
        set(Item::EchoPath, Verdict::Skipped, i18n::text("preflight.echo.needsTone"));
        return;
    }

    const bool cancelling = capture.echoCancellation();
    const double leak = echo.leakDb.value_or(echo.leakFloorDb);
    (cancelling ? m_leakWith : m_leakWithout) = leak;
    // With no trace of the tone in the microphone, the figure is only a bound: "< -58".
    (cancelling ? m_leakWithText : m_leakWithoutText) =
        echo.leakDb ? decibels(leak) : QStringLiteral("< ") + decibels(leak);
    m_parts.log.note(QStringLiteral("sprawdzenie: przeciek %1 dB (tłumienie echa %2)")
                         .arg(cancelling ? m_leakWithText : m_leakWithoutText,
                              cancelling ? QStringLiteral("włączone") : QStringLiteral("wyłączone")));
    QString measured = echo.leakDb ? i18n::format("preflight.echo.leak", decibels(leak))
                                   : i18n::format("preflight.echo.below", decibels(leak));
    if (m_leakWithout && m_leakWith)
        measured = i18n::format("preflight.echo.compare", m_leakWithoutText, m_leakWithText);
    if (!echo.leakDb || leak <= kLeakLimitDb)
        set(Item::EchoPath, Verdict::Passed, measured);
    else if (cancelling)
        set(Item::EchoPath, Verdict::Warning, measured, i18n::text("preflight.echo.useHeadphones"));
    else
        set(Item::EchoPath, Verdict::Warning, measured, i18n::text("preflight.echo.advice"), Fix::EchoCancellation);
}

void PreflightCheck::noAudio() {
    const ToneMeter::Mark now = m_probe->meter().mark();
    if (now.system == 0 && pending(Item::SystemAudio))
        set(Item::SystemAudio, Verdict::Failed, i18n::text("preflight.system.noStream"),
            i18n::text("preflight.system.pick"), Fix::OpenSoundSettings);
    if (pending(Item::EchoPath))
        set(Item::EchoPath, Verdict::Skipped,
            i18n::text(now.system == 0 ? "preflight.echo.needsTone" : "preflight.echo.needsMic"));
    judgeMic();
    // System audio came but the microphone never did: the tone still tells whether the client is heard.
    if (pending(Item::SystemAudio))
        m_probe->listenWithoutMic();
}

void PreflightCheck::enableEchoCancellation() {
    if (m_probe->running())
        return;
    m_parts.capture.setEchoCancellation(true);
    const bool wasRunning = m_running;
    m_running = true;
    m_cutShort = false;
    m_startedAt = m_parts.clock.monotonic();
    set(Item::EchoPath, Verdict::Checking, i18n::text("preflight.echo.remeasuring"));
    if (!wasRunning)
        emit runningChanged();
    // The longer tone of this measurement gets its own time.
    m_deadline->start(ToneProbe::longest(ToneProbe::Tone::ForNewCanceller));
    startAudio(true);
}

// --- Transcription: one connection with the present credentials ---

void PreflightCheck::startTranscription() {
    if (!m_parts.capture.transcriberFactory()) {
        set(Item::Transcription, Verdict::Skipped, i18n::text("preflight.stt.none"));
        return;
    }
    m_speechProbe->start(m_parts.capture.transcriberFactory(), m_parts.capture.language(), kNetworkWait);
}

void PreflightCheck::endTranscription(const SpeechVerdict& verdict) {
    if (!pending(Item::Transcription))
        return;
    if (verdict.outcome == SpeechVerdict::Passed)
        set(Item::Transcription, Verdict::Passed, verdict.text);
    else if (verdict.outcome == SpeechVerdict::Credentials)
        set(Item::Transcription, Verdict::Failed, verdict.text, i18n::text("preflight.keys.advice"), Fix::OpenKeys);
    else
        set(Item::Transcription, Verdict::Failed, verdict.text, i18n::text("preflight.network.advice"));
}

// --- Language model: the models of the fallback chain are there, and one tiny request is answered ---

void PreflightCheck::startLanguageModel(bool signedIn) {
    if (signedIn || !m_parts.listModels) {
        // Through the backend the models are the backend's choice: the request itself is the proof.
        tinyRequest({}, m_parts.modelChain.value(0));
        return;
    }
    if (!m_parts.keychain.read(QLatin1String(Keychain::kGeminiKey))) {
        set(Item::LanguageModel, Verdict::Failed, i18n::text("preflight.llm.noKey"),
            i18n::text("preflight.keys.advice"), Fix::OpenKeys);
        return;
    }
    QPointer<PreflightCheck> self(this);
    QPointer<QObject> context(m_llmContext);
    m_parts.listModels([self, context](const ModelList& result) {
        if (!self || !context || !self->pending(Item::LanguageModel))
            return;
        if (const auto* error = std::get_if<QString>(&result)) {
            self->set(Item::LanguageModel, Verdict::Failed, *error, i18n::text("preflight.keys.advice"), Fix::OpenKeys);
            return;
        }
        const QStringList& listed = std::get<QStringList>(result);
        QStringList missing;
        QString answering;
        for (const QString& model : self->m_parts.modelChain) {
            if (!listed.contains(model))
                missing << model;
            else if (answering.isEmpty())
                answering = model;
        }
        if (answering.isEmpty()) {
            self->set(Item::LanguageModel, Verdict::Failed,
                      i18n::format("preflight.llm.noneListed", self->m_parts.modelChain.join(QStringLiteral(", "))));
            return;
        }
        self->tinyRequest(missing, answering);
    });
}

void PreflightCheck::tinyRequest(const QStringList& missing, const QString& answering) {
    QPointer<PreflightCheck> self(this);
    LlmClient::Callbacks callbacks;
    callbacks.onChunk = [](const QString&) {};
    callbacks.onStatus = [](const QString&) {};
    callbacks.onDone = [self, missing, answering](const std::optional<QString>& error) {
        if (!self || !self->pending(Item::LanguageModel))
            return;
        if (error) {
            self->set(Item::LanguageModel, Verdict::Failed, *error, i18n::text("preflight.keys.advice"), Fix::OpenKeys);
            return;
        }
        // Missing models further down the chain matter only when the ones before them fail; the first one matters now.
        if (!missing.isEmpty() && missing.first() == self->m_parts.modelChain.value(0))
            self->set(Item::LanguageModel, Verdict::Warning,
                      i18n::format("preflight.llm.retired", missing.join(QStringLiteral(", ")), answering));
        else if (!missing.isEmpty())
            self->set(Item::LanguageModel, Verdict::Warning,
                      i18n::format("preflight.llm.fallbackMissing", missing.join(QStringLiteral(", "))));
        else
            self->set(Item::LanguageModel, Verdict::Passed, i18n::format("preflight.llm.ok", answering));
    };
    m_parts.llm.stream(QStringLiteral("Odpowiedz jednym słowem."), {LlmPart{QStringLiteral("ping"), std::nullopt}},
                       std::move(callbacks), m_llmContext);
}

// --- Backend: reachable and taking the sign-in; the remaining allowance ---

void PreflightCheck::startBackend(bool signedIn) {
    if (!signedIn) {
        set(Item::Backend, Verdict::Skipped, i18n::text("preflight.backend.ownKeys"));
        return;
    }
    QPointer<PreflightCheck> self(this);
    QPointer<QObject> context(m_llmContext);
    m_parts.backend.checkAccount([self, context](const std::optional<QString>& error) {
        if (!self || !context || !self->pending(Item::Backend))
            return;
        if (error) {
            const bool signedOut = *error == i18n::text("session.error.signedOut");
            self->set(Item::Backend, Verdict::Failed, *error,
                      signedOut ? i18n::text("preflight.backend.signIn") : i18n::text("preflight.network.advice"),
                      signedOut ? Fix::SignIn : Fix::None);
            return;
        }
        const auto seconds = self->m_parts.backend.secondsRemaining();
        if (!seconds) {
            self->set(Item::Backend, Verdict::Passed, i18n::text("preflight.backend.ok"));
        } else if (*seconds <= 0) {
            self->set(Item::Backend, Verdict::Failed, i18n::text("preflight.backend.exhausted"),
                      i18n::text("preflight.backend.topUp"));
        } else {
            const qint64 minutes = *seconds / 60;
            const QString left = minutes >= 60 ? i18n::format("duration.hoursMinutes", i18n::formatNumber(minutes / 60),
                                                              i18n::formatNumber(minutes % 60))
                                               : i18n::format("duration.minutes", i18n::formatNumber(minutes));
            self->set(Item::Backend, Verdict::Passed, i18n::format("preflight.backend.remaining", left));
        }
    });
}

} // namespace quippet
