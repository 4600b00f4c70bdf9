#include "platform/X11HotKeyBackend.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <map>
#include <set>
#include <vector>

namespace quippet {

namespace {

constexpr std::uint32_t kKeySymNumLock = 0xff7f;
constexpr std::uint16_t kRelevantModifiers = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 |
                                             XCB_MOD_MASK_2 | XCB_MOD_MASK_3 | XCB_MOD_MASK_4 | XCB_MOD_MASK_5;

class X11HotKeyBackend : public HotKeyBackend, public QAbstractNativeEventFilter {
public:
    enum class Connection { Qt, Own };

    X11HotKeyBackend(xcb_connection_t* connection, int screenNumber, Connection kind)
        : m_connection(connection), m_kind(kind) {
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
        for (int i = 0; i < screenNumber && it.rem > 1; ++i)
            xcb_screen_next(&it);
        m_root = it.data->root;
        m_symbols = xcb_key_symbols_alloc(connection);
        m_numLock = numLockMask();
        static constexpr char kXkb[] = "XKEYBOARD";
        if (auto* xkb = xcb_query_extension_reply(connection, xcb_query_extension(connection, sizeof kXkb - 1, kXkb),
                                                  nullptr)) {
            if (xkb->present)
                m_xkbFirstEvent = xkb->first_event;
            std::free(xkb);
        }
        if (m_kind == Connection::Qt) {
            QCoreApplication::instance()->installNativeEventFilter(this);
        } else {
            m_notifier = new QSocketNotifier(xcb_get_file_descriptor(connection), QSocketNotifier::Read);
            QObject::connect(m_notifier, &QSocketNotifier::activated, m_notifier, [this] { drain(false); });
        }
    }

    ~X11HotKeyBackend() override {
        if (m_kind == Connection::Qt) {
            if (QCoreApplication::instance())
                QCoreApplication::instance()->removeNativeEventFilter(this);
            // Qt closes its connection when the application object goes; there is nothing left to release then.
            if (!qtConnection())
                m_connection = nullptr;
        }
        if (m_connection) {
            for (const Grab& g : m_grabs)
                ungrabKeys(g);
            xcb_flush(m_connection);
        }
        if (m_symbols)
            xcb_key_symbols_free(m_symbols);
        delete m_notifier;
        if (m_kind == Connection::Own && m_connection)
            xcb_disconnect(m_connection);
    }

    static xcb_connection_t* qtConnection() {
        auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
        auto* x11 = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
        return x11 ? x11->connection() : nullptr;
    }

    bool grab(std::uint32_t id, std::uint32_t keySym, std::uint32_t modifiers) override {
        Grab g{id, keySym, static_cast<std::uint16_t>(modifiers & kRelevantModifiers), {}};
        const bool ok = place(g);
        if (ok)
            m_grabs.push_back(std::move(g));
        if (m_kind == Connection::Own)
            drain(true); // the round trips above may have read events that no socket signal will announce
        return ok;
    }

    void ungrab(std::uint32_t id) override {
        for (auto it = m_grabs.begin(); it != m_grabs.end(); ++it) {
            if (it->id == id) {
                if (m_connection) {
                    ungrabKeys(*it);
                    xcb_flush(m_connection);
                }
                m_grabs.erase(it);
                return;
            }
        }
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t")
            return false;
        return handle(static_cast<const xcb_generic_event_t*>(message));
    }

private:
    struct Grab {
        std::uint32_t id;
        std::uint32_t keySym;
        std::uint16_t modifiers;
        std::vector<xcb_keycode_t> keyCodes; // where the keysym sits in the current keyboard map
    };

    // Grabs every keycode of the keysym in every lock state; all or nothing.
    bool place(Grab& g) {
        g.keyCodes.clear();
        if (xcb_keycode_t* codes = xcb_key_symbols_get_keycode(m_symbols, g.keySym)) {
            for (xcb_keycode_t* c = codes; *c != XCB_NO_SYMBOL; ++c)
                g.keyCodes.push_back(*c);
            std::free(codes);
        }
        if (g.keyCodes.empty())
            return false;
        std::vector<xcb_void_cookie_t> cookies;
        for (xcb_keycode_t code : g.keyCodes) {
            for (std::uint16_t extra : lockVariants())
                cookies.push_back(xcb_grab_key_checked(m_connection, 1, m_root, g.modifiers | extra, code,
                                                       XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        }
        // Check every cookie, even after a failure, so no reply is left pending.
        bool ok = true;
        for (xcb_void_cookie_t cookie : cookies) {
            if (xcb_generic_error_t* error = xcb_request_check(m_connection, cookie)) {
                ok = false; // BadAccess: another client holds the combination
                std::free(error);
            }
        }
        if (!ok) {
            ungrabKeys(g); // releases the variants we did get; the others were never ours
            g.keyCodes.clear();
        }
        xcb_flush(m_connection);
        return ok;
    }

    // A new keyboard map (another layout, a remapped key, NumLock moved) leaves the grabs on keycodes that no longer
    // carry their keysyms: take them again from the new map.
    void keyboardMapChanged() {
        for (const Grab& g : m_grabs)
            ungrabKeys(g);
        xcb_key_symbols_free(m_symbols);
        m_symbols = xcb_key_symbols_alloc(m_connection);
        m_numLock = numLockMask();
        m_down.clear();
        for (Grab& g : m_grabs)
            place(g); // a combination that is now held elsewhere stays dead until the next map
    }

    std::vector<std::uint16_t> lockVariants() const {
        std::vector<std::uint16_t> variants{0, XCB_MOD_MASK_LOCK};
        if (m_numLock) {
            variants.push_back(m_numLock);
            variants.push_back(static_cast<std::uint16_t>(m_numLock | XCB_MOD_MASK_LOCK));
        }
        return variants;
    }

    void ungrabKeys(const Grab& g) {
        for (xcb_keycode_t code : g.keyCodes) {
            for (std::uint16_t extra : lockVariants())
                xcb_ungrab_key(m_connection, code, m_root, g.modifiers | extra);
        }
    }

    // NumLock sits on Mod2 almost everywhere, but the modifier map is the authority.
    std::uint16_t numLockMask() {
        std::uint16_t mask = 0;
        xcb_keycode_t* numLockCodes = xcb_key_symbols_get_keycode(m_symbols, kKeySymNumLock);
        if (!numLockCodes)
            return XCB_MOD_MASK_2;
        xcb_get_modifier_mapping_reply_t* reply =
            xcb_get_modifier_mapping_reply(m_connection, xcb_get_modifier_mapping(m_connection), nullptr);
        if (reply) {
            const xcb_keycode_t* map = xcb_get_modifier_mapping_keycodes(reply);
            const int perModifier = reply->keycodes_per_modifier;
            for (int mod = 0; mod < 8 && !mask; ++mod) {
                for (int k = 0; k < perModifier && !mask; ++k) {
                    for (xcb_keycode_t* c = numLockCodes; *c != XCB_NO_SYMBOL; ++c) {
                        if (map[mod * perModifier + k] == *c && *c != 0)
                            mask = static_cast<std::uint16_t>(1u << mod);
                    }
                }
            }
            std::free(reply);
        }
        std::free(numLockCodes);
        // Lock, Shift or Control carrying NumLock would make the variants swallow real combinations.
        return mask > XCB_MOD_MASK_CONTROL ? mask : 0;
    }

    bool handle(const xcb_generic_event_t* event) {
        const std::uint8_t type = event->response_type & 0x7f;
        // A client that uses XKB, as Qt does, hears of a new map only through XKB's own events (new keyboard 0,
        // map 1 in the byte after the type); others get the core notification.
        const bool xkbMapChange = m_xkbFirstEvent && type == m_xkbFirstEvent && event->pad0 <= 1;
        const bool coreMapChange =
            type == XCB_MAPPING_NOTIFY &&
            reinterpret_cast<const xcb_mapping_notify_event_t*>(event)->request != XCB_MAPPING_POINTER;
        if (xkbMapChange || coreMapChange) {
            keyboardMapChanged();
            return false; // Qt updates its own keymap from the same event
        }
        if (type == XCB_KEY_RELEASE) {
            const auto* release = reinterpret_cast<const xcb_key_release_event_t*>(event);
            if (m_down.erase(release->detail))
                m_releasedAt[release->detail] = release->time;
            return false;
        }
        if (type != XCB_KEY_PRESS)
            return false;
        const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(event);
        // A held key repeats: as further presses (detectable auto-repeat) or as release and press pairs with one
        // timestamp. One press of a shortcut is one action, as with the system hot keys elsewhere.
        const bool repeat = m_down.count(press->detail) != 0 || m_releasedAt[press->detail] == press->time;
        const std::uint16_t state = press->state & kRelevantModifiers & ~m_numLock;
        for (const Grab& g : m_grabs) {
            if (g.modifiers != state)
                continue;
            for (xcb_keycode_t code : g.keyCodes) {
                if (code == press->detail) {
                    m_down.insert(code);
                    if (!repeat)
                        emit pressed(g.id);
                    return true;
                }
            }
        }
        return false;
    }

    void drain(bool queuedOnly) {
        if (xcb_connection_has_error(m_connection)) {
            m_notifier->setEnabled(false);
            return;
        }
        while (xcb_generic_event_t* event =
                   queuedOnly ? xcb_poll_for_queued_event(m_connection) : xcb_poll_for_event(m_connection)) {
            handle(event);
            std::free(event);
        }
    }

    xcb_connection_t* m_connection;
    Connection m_kind;
    xcb_window_t m_root = 0;
    xcb_key_symbols_t* m_symbols = nullptr;
    std::uint16_t m_numLock = 0;
    std::uint8_t m_xkbFirstEvent = 0;
    QSocketNotifier* m_notifier = nullptr;
    std::vector<Grab> m_grabs;
    std::set<xcb_keycode_t> m_down;
    std::map<xcb_keycode_t, xcb_timestamp_t> m_releasedAt;
};

} // namespace

std::unique_ptr<HotKeyBackend> makeX11HotKeyBackend() {
    xcb_connection_t* connection = X11HotKeyBackend::qtConnection();
    if (!connection)
        return nullptr;
    // Qt's connection was opened for the screen $DISPLAY names.
    int screen = 0;
    char* host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen))
        std::free(host);
    return std::make_unique<X11HotKeyBackend>(connection, screen, X11HotKeyBackend::Connection::Qt);
}

std::unique_ptr<HotKeyBackend> makeX11HotKeyBackendOnOwnConnection() {
    int screen = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screen);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return nullptr;
    }
    return std::make_unique<X11HotKeyBackend>(connection, screen, X11HotKeyBackend::Connection::Own);
}

} // namespace quippet
