#include "speech/SpeechProbe.h"

#include "core/Clock.h"
#include "core/Localization.h"
#include "secrets/Credentials.h"
#include "speech/ElevenLabsTranscriber.h"

#include <QMetaObject>

namespace quippet {

namespace {

const QString kProbeLabel = QStringLiteral("TEST");

} // namespace

SpeechProbe::SpeechProbe(Clock& clock, QObject* parent) : QObject(parent), m_timer(clock.createTimer(this)) {
    m_timer->setSingleShot(true);
    connect(m_timer, &Timer::timeout, this, [this] {
        finish({SpeechVerdict::Other, i18n::text("preflight.stt.noAnswer")});
    });
}

SpeechProbe::~SpeechProbe() {
    if (m_client)
        m_client->stop();
}

SpeechVerdict SpeechProbe::verdict(const QString& status) {
    const QString prefix = kProbeLabel + QStringLiteral(": ");
    const QString what = status.startsWith(prefix) ? status.mid(prefix.size()) : status;
    if (what == QStringLiteral("połączono ze Scribe") || what == QStringLiteral("wznowiono połączenie"))
        return {SpeechVerdict::Passed, i18n::text("preflight.stt.ok")};
    if (what.contains(QStringLiteral("(HTTP 401)")))
        return {SpeechVerdict::Credentials, i18n::text("preflight.stt.badKey")};
    if (what.startsWith(ElevenLabsTranscriber::kAuthRefused))
        return {SpeechVerdict::Credentials,
                i18n::format("preflight.stt.refused", what.mid(ElevenLabsTranscriber::kAuthRefused.size()))};
    if (what.contains(QStringLiteral("(HTTP 403)")))
        return {SpeechVerdict::Credentials, i18n::text("preflight.stt.forbidden")};
    if (what.contains(KeychainCredentialProvider::missingText()))
        return {SpeechVerdict::Credentials, what};
    if (what.startsWith(QStringLiteral("nie udało się połączyć")) || what.contains(QStringLiteral("nie odpowiada")))
        return {SpeechVerdict::Other, i18n::format("preflight.stt.unreachable", what)};
    return {SpeechVerdict::Other, what};
}

void SpeechProbe::start(const TranscriberFactory& factory, const QString& language, std::chrono::milliseconds wait) {
    cancel();
    if (!factory) {
        finish({SpeechVerdict::Other, i18n::text("preflight.stt.none")});
        return;
    }
    const quint64 attempt = ++m_attempt;
    m_client = factory({kProbeLabel, language});
    connect(m_client.get(), &TranscriberPort::statusLine, this, [this, attempt](const QString& line) {
        if (m_attempt == attempt && m_client)
            finish(verdict(line));
    });
    m_timer->start(wait);
    m_client->start();
}

void SpeechProbe::cancel() {
    ++m_attempt;
    m_timer->stop();
    if (!m_client)
        return;
    m_client->stop();
    // The client may be reporting from inside its own signal: it goes once that has returned, or with the probe.
    TranscriberPort* done = m_client.release();
    done->setParent(this);
    done->deleteLater();
}

void SpeechProbe::finish(const SpeechVerdict& verdict) {
    cancel();
    emit finished(verdict);
}

} // namespace quippet
