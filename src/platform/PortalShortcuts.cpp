#include "platform/PortalShortcuts.h"

#include "platform/Portal.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QTimer>

#include <algorithm>

namespace quippet {

namespace {

using namespace portal;
const QString kShortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

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

PortalShortcuts::PortalShortcuts(QDBusConnection bus, QObject* parent) : HotKeyBackend(parent), m_bus(std::move(bus)) {
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<Shortcuts>();
    // Presses are told apart by our session's path (which holds our bus name), not by the sender's name: the
    // portal's name may change owners (a restart) without this subscription noticing.
    m_bus.connect(QString(), kPath, kShortcutsInterface, QStringLiteral("Activated"), this,
                  SLOT(activated(QDBusMessage)));
}

PortalShortcuts::~PortalShortcuts() {
    if (!m_session.isEmpty()) {
        m_bus.asyncCall(QDBusMessage::createMethodCall(
            kService, m_session, QStringLiteral("org.freedesktop.portal.Session"), QStringLiteral("Close")));
    }
}

bool PortalShortcuts::available(QDBusConnection bus) {
    return offers(bus, kShortcutsInterface);
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

void PortalShortcuts::request(Step step, const QString& method, QList<QVariant> arguments, QVariantMap options) {
    const QString token = nextToken();
    const QString path = requestPath(m_bus, token);
    m_pending.insert(path, step);
    m_bus.connect(kService, path, kRequest, QStringLiteral("Response"), this, SLOT(response(QDBusMessage)));
    options.insert(QStringLiteral("handle_token"), token);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kShortcutsInterface, method);
    arguments << options;
    call.setArguments(arguments);
    m_bus.asyncCall(call);
}

void PortalShortcuts::response(const QDBusMessage& message) {
    const auto it = m_pending.constFind(message.path());
    const QList<QVariant> args = message.arguments();
    if (it == m_pending.constEnd() || args.size() < 2)
        return;
    const Step step = *it;
    m_pending.erase(it);
    m_bus.disconnect(kService, message.path(), kRequest, QStringLiteral("Response"), this,
                     SLOT(response(QDBusMessage)));
    answered(step, args.at(0).toUInt(), qdbus_cast<QVariantMap>(args.at(1)));
}

void PortalShortcuts::createSession() {
    request(Step::Session, QStringLiteral("CreateSession"), {},
            {{QStringLiteral("session_handle_token"), QStringLiteral("quippet")}});
}

void PortalShortcuts::bindAll() {
    Shortcuts shortcuts;
    for (auto it = m_triggers.constBegin(); it != m_triggers.constEnd(); ++it) {
        shortcuts << Shortcut{
            QString::number(it.key()),
            {{QStringLiteral("description"), describe(it.key())}, {QStringLiteral("preferred_trigger"), it.value()}}};
    }
    request(Step::Bind, QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(shortcuts), QString()});
}

void PortalShortcuts::answered(Step step, uint code, const QVariantMap& results) {
    const QString useCommands = QStringLiteral(" — użyj poleceń quippet --answer itd.");
    switch (step) {
    case Step::Session: {
        const QVariant handle = results.value(QStringLiteral("session_handle"));
        QString session = handle.value<QDBusObjectPath>().path();
        if (session.isEmpty())
            session = handle.toString();
        if (code != 0 || session.isEmpty()) {
            report({}, QStringLiteral("skróty: portal odmówił sesji skrótów") + useCommands);
            return;
        }
        m_session = session;
        bindAll();
        return;
    }
    case Step::Bind:
        if (code != 0) {
            report({}, QStringLiteral("skróty: pulpit nie przyjął skrótów") + useCommands);
            return;
        }
        // A desktop may answer success and bind nothing: only its own list says what really has keys.
        request(Step::List, QStringLiteral("ListShortcuts"), {QVariant::fromValue(QDBusObjectPath(m_session))});
        return;
    case Step::List: {
        if (code != 0) {
            report({}, QStringLiteral("skróty: pulpit nie podał listy skrótów") + useCommands);
            return;
        }
        QMap<std::uint32_t, QString> triggers;
        for (const Shortcut& s : qdbus_cast<Shortcuts>(results.value(QStringLiteral("shortcuts")))) {
            bool ok = false;
            const std::uint32_t id = s.id.toUInt(&ok);
            if (ok && m_triggers.contains(id))
                triggers.insert(id, s.properties.value(QStringLiteral("trigger_description")).toString().trimmed());
        }
        QStringList missing;
        for (auto it = m_triggers.constBegin(); it != m_triggers.constEnd(); ++it) {
            if (triggers.value(it.key()).isEmpty())
                missing << QString::number(it.key());
        }
        report(triggers, missing.isEmpty()
                             ? QStringLiteral("skróty: przez portal pulpitu (GlobalShortcuts), każdy ma klawisze")
                             : QStringLiteral("skróty: pulpit przyjął skróty, ale bez klawiszy: ") +
                                   missing.join(QStringLiteral(", ")) + useCommands);
        return;
    }
    }
}

void PortalShortcuts::report(const QMap<std::uint32_t, QString>& triggers, const QString& line) {
    QMap<std::uint32_t, QString> all;
    for (auto it = m_triggers.constBegin(); it != m_triggers.constEnd(); ++it)
        all.insert(it.key(), triggers.value(it.key()));
    m_bound = !all.isEmpty() && std::all_of(all.cbegin(), all.cend(), [](const QString& t) { return !t.isEmpty(); });
    emit noted(line);
    emit verified(all);
}

void PortalShortcuts::activated(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2)
        return;
    bool ok = false;
    const std::uint32_t id = args.at(1).toString().toUInt(&ok);
    if (args.at(0).value<QDBusObjectPath>().path() == m_session && ok && m_triggers.contains(id))
        emit pressed(id);
}

} // namespace quippet
