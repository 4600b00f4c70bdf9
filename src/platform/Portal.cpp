#include "platform/Portal.h"

#include <QDBusMessage>

#include <atomic>

namespace quippet::portal {

bool offers(const QDBusConnection& bus, const QString& interface) {
    if (!bus.isConnected())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << interface << QStringLiteral("version");
    return bus.call(get, QDBus::Block, kProbeTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

QString requestPath(const QDBusConnection& bus, const QString& token) {
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

QString nextToken() {
    static std::atomic<quint64> serial{0};
    return QStringLiteral("quippet%1").arg(++serial);
}

} // namespace quippet::portal
