#pragma once

#include <QList>
#include <QObject>

#include <cstdint>
#include <memory>

namespace quippet {

// The system's service for key combinations that reach us whichever application is in front. Main thread only;
// `pressed` comes on the main thread with the id given to `grab`.
class HotKeyBackend : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // False when the combination cannot be had (another client holds it, the key is not on the keyboard).
    virtual bool grab(std::uint32_t id, std::uint32_t keySym, std::uint32_t modifiers) = 0;
    virtual void ungrab(std::uint32_t id) = 0;

signals:
    void pressed(std::uint32_t id);
};

// Key combinations registered for the whole session, each under an id of the caller's.
class HotKeyCenter : public QObject {
    Q_OBJECT
public:
    // X11 core modifier bits (the values of xcb_mod_mask_t), so a combination needs no translation.
    static constexpr std::uint32_t kShift = 1u << 0;
    static constexpr std::uint32_t kControl = 1u << 2;
    static constexpr std::uint32_t kAlt = 1u << 3;   // Mod1
    static constexpr std::uint32_t kSuper = 1u << 6; // Mod4
    // X keysyms of the keys the shortcut table uses.
    static constexpr std::uint32_t kKeyReturn = 0xff0d;
    static constexpr std::uint32_t kKeyH = 0x68;
    static constexpr std::uint32_t kKeyP = 0x70;
    static constexpr std::uint32_t kKeyR = 0x72;

    // Without a backend (no X11 display) every registration answers false.
    explicit HotKeyCenter(std::unique_ptr<HotKeyBackend> backend, QObject* parent = nullptr);
    ~HotKeyCenter() override;

    // `keySym` is an X keysym (latin letters in lower case). Answers true when the combination is ours.
    bool registerHotKey(std::uint32_t id, std::uint32_t keySym, std::uint32_t modifiers);

    bool isRegistered(std::uint32_t id) const { return m_registered.contains(id); }
    bool hasBackend() const { return m_backend != nullptr; }

signals:
    // A registered combination was pressed. It comes on a later turn of the loop than the key itself, outside the
    // native event dispatch (what it starts opens windows and network requests).
    void activated(std::uint32_t id);

private:
    std::unique_ptr<HotKeyBackend> m_backend;
    QList<std::uint32_t> m_registered;
};

} // namespace quippet
