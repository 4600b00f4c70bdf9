#include "platform/PortalShortcuts.h"

#include "platform/Portal.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QTimer>

namespace quippet {

namespace {

using namespace portal;
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

struct Shortcut {
    QString id;
    QVariantMap properties;
};
using Shortcuts = QList<Shortcut>;

QDBusArgument& operator<<(QDBusArgument& arg, const Shortcut& s) {
    arg.beginStructure();
    arg << s.id << s.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, Shortcut& s) {
    arg.beginStructure();
    arg >> s.id >> s.properties;
    arg.endStructure();
    return arg;
}

QString describe(std::uint32_t id) {
    switch (id) {
    case 1:
        return QStringLiteral("Quippet: odpowiedz teraz");
    case 2:
        return QStringLiteral("Quippet: przeanalizuj ekran");
    case 3:
        return QStringLiteral("Quippet: zwiń lub rozwiń panel");
    case 4:
        return QStringLiteral("Quippet: tryb prywatny");
    default:
        return QStringLiteral("Quippet: przywołaj panel");
    }
}

} // namespace

} // namespace quippet

Q_DECLARE_METATYPE(quippet::Shortcut)

namespace quippet {

PortalShortcuts::PortalShortcuts(QDBusConnection bus, QObject* parent) : QObject(parent), m_bus(std::move(bus)) {
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<Shortcuts>();
    // Presses are told apart by our session's path (which holds our bus name), not by the sender's name: the
    // portal's name may change owners (a restart) without this subscription noticing.
    m_bus.connect(QString(), kPath, kInterface, QStringLiteral("Activated"), this, SLOT(activated(QDBusMessage)));
}

PortalShortcuts::~PortalShortcuts() {
    if (!m_session.isEmpty()) {
        m_bus.asyncCall(QDBusMessage::createMethodCall(
            kService, m_session, QStringLiteral("org.freedesktop.portal.Session"), QStringLiteral("Close")));
    }
}

bool PortalShortcuts::available(QDBusConnection bus) {
    return offers(bus, kInterface);
}

QString PortalShortcuts::triggerText(std::uint32_t keySym, std::uint32_t modifiers) {
    QStringList parts;
    if (modifiers & HotKeyCenter::kControl)
        parts << QStringLiteral("CTRL");
    if (modifiers & HotKeyCenter::kAlt)
        parts << QStringLiteral("ALT");
    if (modifiers & HotKeyCenter::kShift)
        parts << QStringLiteral("SHIFT");
    if (modifiers & HotKeyCenter::kSuper)
        parts << QStringLiteral("LOGO");
    if (keySym == HotKeyCenter::kKeyReturn)
        parts << QStringLiteral("Return");
    else if (keySym >= 0x20 && keySym < 0x7f)
        parts << QString(QChar(char16_t(keySym)));
    else
        parts << QStringLiteral("0x%1").arg(keySym, 0, 16);
    return parts.join(QLatin1Char('+'));
}

bool PortalShortcuts::grab(std::uint32_t id, std::uint32_t keySym, std::uint32_t modifiers) {
    m_triggers.insert(id, triggerText(keySym, modifiers));
    if (!m_bindScheduled) {
        m_bindScheduled = true;
        QTimer::singleShot(0, this, [this] {
            m_bindScheduled = false;
            if (m_session.isEmpty())
                createSession();
            else
                bindAll();
        });
    }
    return true;
}

void PortalShortcuts::ungrab(std::uint32_t id) {
    m_triggers.remove(id);
}

QString PortalShortcuts::requestPath(const QString& token) const {
    return portal::requestPath(m_bus, token);
}

void PortalShortcuts::createSession() {
    const QString token = QStringLiteral("quippet%1").arg(++m_serial);
    m_bus.connect(kService, requestPath(token), kRequest, QStringLiteral("Response"), this,
                  SLOT(sessionCreated(uint, QVariantMap)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CreateSession"));
    call << QVariantMap{{QStringLiteral("handle_token"), token},
                        {QStringLiteral("session_handle_token"), QStringLiteral("quippet")}};
    m_bus.asyncCall(call);
}

void PortalShortcuts::sessionCreated(uint code, const QVariantMap& results) {
    m_session = results.value(QStringLiteral("session_handle")).value<QDBusObjectPath>().path();
    if (m_session.isEmpty())
        m_session = results.value(QStringLiteral("session_handle")).toString();
    if (code != 0 || m_session.isEmpty()) {
        if (note)
            note(QStringLiteral("skróty: portal odmówił sesji skrótów"));
        return;
    }
    bindAll();
}

void PortalShortcuts::bindAll() {
    Shortcuts shortcuts;
    for (auto it = m_triggers.constBegin(); it != m_triggers.constEnd(); ++it) {
        shortcuts << Shortcut{
            QString::number(it.key()),
            {{QStringLiteral("description"), describe(it.key())}, {QStringLiteral("preferred_trigger"), it.value()}}};
    }
    const QString token = QStringLiteral("quippet%1").arg(++m_serial);
    m_bus.connect(kService, requestPath(token), kRequest, QStringLiteral("Response"), this,
                  SLOT(shortcutsBound(uint, QVariantMap)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("BindShortcuts"));
    call << QVariant::fromValue(QDBusObjectPath(m_session)) << QVariant::fromValue(shortcuts) << QString()
         << QVariantMap{{QStringLiteral("handle_token"), token}};
    m_bus.asyncCall(call);
}

void PortalShortcuts::shortcutsBound(uint code, const QVariantMap&) {
    m_bound = code == 0;
    if (note)
        note(m_bound ? QStringLiteral("skróty: przez portal pulpitu (GlobalShortcuts)")
                     : QStringLiteral("skróty: pulpit nie przyjął skrótów — użyj poleceń quippet --answer itd."));
}

void PortalShortcuts::activated(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2)
        return;
    bool ok = false;
    const std::uint32_t id = args.at(1).toString().toUInt(&ok);
    if (args.at(0).value<QDBusObjectPath>().path() == m_session && ok && m_triggers.contains(id) && onPressed)
        onPressed(id);
}

} // namespace quippet
