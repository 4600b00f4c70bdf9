#include "platform/PortalScreenshot.h"

#include "platform/Portal.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QFile>
#include <QPointer>
#include <QTimer>
#include <QUrl>

namespace quippet {

namespace {

using namespace portal;
const QString kScreenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");
// The portal may show the user a confirmation first.
constexpr int kAnswerTimeoutMs = 120'000;
const QString kCancelled = QStringLiteral("zrzut anulowany");
const QString kRefused = QStringLiteral("portal odmówił zrzutu");

// Receives the one Response signal of a request, then goes away.
class Request : public QObject {
    Q_OBJECT
public:
    Request(std::function<void(const QImage&, const QString&)> done, QObject* parent)
        : QObject(parent), m_done(std::move(done)) {
        QTimer::singleShot(kAnswerTimeoutMs, this, [this] { finish({}, QStringLiteral("portal nie odpowiedział")); });
    }

    void finish(const QImage& picture, const QString& error) {
        if (!m_done)
            return;
        auto done = std::move(m_done);
        m_done = nullptr;
        deleteLater();
        done(picture, error);
    }

public slots:
    void response(uint code, const QVariantMap& results) {
        if (code != 0) {
            finish({}, code == 1 ? kCancelled : kRefused);
            return;
        }
        const QUrl uri(results.value(QStringLiteral("uri")).toString());
        QImage picture;
        if (uri.isLocalFile()) {
            picture.load(uri.toLocalFile());
            // The portal leaves the file in the user's pictures folder; it was only ever ours to read.
            QFile::remove(uri.toLocalFile());
        }
        finish(picture, picture.isNull() ? QStringLiteral("nie można odczytać zrzutu") : QString());
    }

private:
    std::function<void(const QImage&, const QString&)> m_done;
};

} // namespace

PortalScreenshot::PortalScreenshot(QDBusConnection bus, QObject* parent) : QObject(parent), m_bus(std::move(bus)) {}

bool PortalScreenshot::isRefusal(const QString& error) {
    return error == kCancelled || error == kRefused;
}

bool PortalScreenshot::available() const {
    return offers(m_bus, kScreenshotInterface);
}

void PortalScreenshot::take(std::function<void(const QImage&, const QString&)> done) {
    if (!m_bus.isConnected()) {
        done({}, QStringLiteral("brak magistrali sesji"));
        return;
    }
    const QString token = nextToken();
    const QString requestPath = portal::requestPath(m_bus, token);
    auto* request = new Request(std::move(done), this);
    m_bus.connect(kService, requestPath, kRequest, QStringLiteral("Response"), request,
                  SLOT(response(uint, QVariantMap)));

    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kScreenshotInterface, QStringLiteral("Screenshot"));
    QVariantMap options{{QStringLiteral("handle_token"), token},
                        {QStringLiteral("interactive"), false},
                        {QStringLiteral("modal"), false}};
    call << QString() << options;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kProbeTimeoutMs * 5), request);
    QPointer<Request> guard(request);
    QDBusConnection bus = m_bus;
    connect(watcher, &QDBusPendingCallWatcher::finished, request,
            [guard, bus, requestPath](QDBusPendingCallWatcher* w) mutable {
                w->deleteLater();
                if (!guard)
                    return;
                QDBusPendingReply<QDBusObjectPath> reply = *w;
                if (reply.isError()) {
                    guard->finish({}, QStringLiteral("brak portalu zrzutów ekranu (") + reply.error().name() +
                                          QLatin1Char(')'));
                } else if (reply.value().path() != requestPath) {
                    // Portals older than the predictable request paths answer on the handle they return.
                    bus.connect(kService, reply.value().path(), kRequest, QStringLiteral("Response"), guard.data(),
                                SLOT(response(uint, QVariantMap)));
                }
            });
}

} // namespace quippet

#include "PortalScreenshot.moc"
