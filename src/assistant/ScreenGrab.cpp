#include "assistant/ScreenGrab.h"

#include "core/Clock.h"
#include "core/Localization.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QMetaMethod>
#include <QPixmap>
#include <QPointer>
#include <QScreen>

#include <algorithm>

namespace quippet {

namespace {
QImage grabPrimaryScreen() {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return {};
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return {};
    // Window 0 is the root window: the whole screen as the X server composes it, without the pointer.
    return screen->grabWindow(0).toImage();
}
} // namespace

ScreenGrab::ScreenGrab(Clock& clock, QObject* parent) : QObject(parent), m_clock(clock) {}

QString ScreenGrab::description(Failure failure) {
    switch (failure) {
    case Failure::NoDisplay:
        return QStringLiteral("nie znaleziono ekranu");
    case Failure::EncodingFailed:
        return QStringLiteral("nie udało się zakodować zrzutu");
    case Failure::Refused:
        return i18n::text("screen.err.refused");
    case Failure::TimedOut:
        return i18n::text("screen.err.timedOut");
    }
    return {};
}

QSize ScreenGrab::targetSize(QSize screen, double maxWidth) {
    if (screen.width() <= 0 || screen.height() <= 0)
        return {};
    const double factor = std::min(maxWidth / double(screen.width()), 1.0);
    return {int(double(screen.width()) * factor), int(double(screen.height()) * factor)};
}

ScreenShot ScreenGrab::encode(const QImage& picture, double maxWidth) {
    if (picture.isNull())
        return {{}, description(Failure::NoDisplay)};
    const QSize size = targetSize(picture.size(), maxWidth);
    if (size.isEmpty())
        return {{}, description(Failure::EncodingFailed)};
    const QImage scaled =
        size == picture.size() ? picture : picture.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!scaled.convertToFormat(QImage::Format_RGB32).save(&buffer, "JPEG", kJpegQuality) || bytes.isEmpty())
        return {{}, description(Failure::EncodingFailed)};
    return {bytes, {}};
}

void ScreenGrab::capture(int maxWidth, std::function<void(const ScreenShot&)> done) {
    if (!isSignalConnected(QMetaMethod::fromSignal(&ScreenGrab::hidingOwnWindows))) {
        if (takePicture)
            takeNow(maxWidth, done);
        else
            grabNow(maxWidth, done);
        return;
    }
    emit hidingOwnWindows();
    m_clock.singleShot(kHideSettle, this, [this, maxWidth, done] {
        if (takePicture)
            takeNow(maxWidth, done);
        else
            grabNow(maxWidth, done);
    });
}

void ScreenGrab::takeNow(int maxWidth, const std::function<void(const ScreenShot&)>& done) {
    struct Pending {
        bool shown = false;
        bool finished = false;
        QPointer<Timer> asking, giveUp;
    };
    auto pending = std::make_shared<Pending>();
    QPointer<ScreenGrab> self(this);
    auto showOnce = [self, pending] {
        if (pending->shown || !self)
            return;
        pending->shown = true;
        emit self->showingOwnWindows();
    };
    auto finish = [pending, showOnce, done](const ScreenShot& shot) {
        if (pending->finished)
            return;
        pending->finished = true;
        for (Timer* timer : {pending->asking.data(), pending->giveUp.data()}) {
            if (timer) {
                timer->stop();
                timer->deleteLater();
            }
        }
        showOnce();
        done(shot);
    };
    pending->asking = m_clock.singleShot(kAskingAfter, this, [self, pending, showOnce] {
        if (pending->finished)
            return;
        showOnce();
        if (self)
            emit self->askingUser();
    });
    pending->giveUp = m_clock.singleShot(kGiveUpAfter, this, [finish] {
        finish({{}, description(Failure::TimedOut)});
    });
    takePicture([finish, maxWidth](const QImage& picture, Failure failure) {
        finish(picture.isNull() ? ScreenShot{{}, description(failure)} : encode(picture, maxWidth));
    });
}

void ScreenGrab::grabNow(int maxWidth, const std::function<void(const ScreenShot&)>& done) {
    const QImage picture = grabScreen ? grabScreen() : grabPrimaryScreen();
    emit showingOwnWindows();
    done(encode(picture, maxWidth));
}

ScreenGrabber ScreenGrab::grabber() {
    QPointer<ScreenGrab> self(this);
    return [self](int maxWidth, std::function<void(const ScreenShot&)> done) {
        if (!self) {
            done({{}, description(Failure::NoDisplay)});
            return;
        }
        self->capture(maxWidth, std::move(done));
    };
}

} // namespace quippet
