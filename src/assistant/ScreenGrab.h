#pragma once

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>

#include <chrono>
#include <functional>

namespace quippet {

class Clock;

// The outcome of one screenshot: JPEG bytes, or the user-facing description of what went wrong.
struct ScreenShot {
    QByteArray jpeg;
    QString error;
    bool ok() const { return error.isEmpty(); }
};

// How the assistant asks for a screenshot; `done` is called once, on the main thread.
using ScreenGrabber = std::function<void(int maxWidth, std::function<void(const ScreenShot&)> done)>;

// One still picture of the primary screen for the screen-analysis action, on X11 through QScreen::grabWindow(0).
// X11 has no way to leave windows out of a capture, so the application hides its own windows for the moment of
// the grab through the hooks below. Main thread only; needs a QGuiApplication.
class ScreenGrab : public QObject {
    Q_OBJECT
public:
    enum class Failure { NoDisplay, EncodingFailed, Refused, TimedOut };

    // Under a compositor a hidden window stays in the picture until the next frame has been drawn.
    static constexpr std::chrono::milliseconds kHideSettle{200};
    static constexpr int kJpegQuality = 85;
    // A source that may ask the user first (the desktop portal) gets the windows back after kAskingAfter even while
    // it waits, and its answer is waited for kGiveUpAfter at most (GNOME's question itself lapses after 25 s).
    static constexpr std::chrono::milliseconds kAskingAfter{2000};
    static constexpr std::chrono::milliseconds kGiveUpAfter{30'000};

    explicit ScreenGrab(Clock& clock, QObject* parent = nullptr);

    // Replaces the platform grab (tests); answers a null image when there is no screen.
    std::function<QImage()> grabScreen;
    // An asynchronous source used instead of the grab: it answers once with the picture, or a null one and why not
    // (NoDisplay for a failure, Refused when the picture was not allowed).
    using PictureAnswer = std::function<void(const QImage& picture, Failure failure)>;
    std::function<void(PictureAnswer answer)> takePicture;

    void capture(int maxWidth, std::function<void(const ScreenShot&)> done);
    ScreenGrabber grabber();

    static QString description(Failure failure);
    // The picture size for a screen: width capped at maxWidth, never enlarged, both sides truncated.
    static QSize targetSize(QSize screen, double maxWidth);
    // Scales and encodes a grabbed picture.
    static ScreenShot encode(const QImage& picture, double maxWidth);

signals:
    // Right before the grab (then, when something hides windows, the grab waits kHideSettle) and right after it.
    void hidingOwnWindows();
    void showingOwnWindows();
    // The windows came back while the source still waits: the desktop is asking the user.
    void askingUser();

private:
    void grabNow(int maxWidth, const std::function<void(const ScreenShot&)>& done);
    void takeNow(int maxWidth, const std::function<void(const ScreenShot&)>& done);

    Clock& m_clock;
};

} // namespace quippet
