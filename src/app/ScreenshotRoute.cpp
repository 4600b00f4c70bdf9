#include "app/ScreenshotRoute.h"

#include "platform/PortalScreenshot.h"

#include <QPointer>

namespace quippet {

ScreenshotRoute::ScreenshotRoute(Clock& clock, DiagnosticsLog& log, bool viaPortal, QObject* parent)
    : QObject(parent), m_log(log), m_grab(std::make_unique<ScreenGrab>(clock)) {
    if (!viaPortal)
        return;
    m_portal = std::make_unique<PortalScreenshot>();
    m_grab->takePicture = [this](ScreenGrab::PictureAnswer answer) { takeFromPortal(std::move(answer)); };
    connect(m_grab.get(), &ScreenGrab::askingUser, this, [this] {
        m_log.note(QStringLiteral("ekran: pulpit jeszcze nie odpowiedział (pyta o zgodę?) — panel wraca"));
    });
}

ScreenshotRoute::~ScreenshotRoute() = default;

void ScreenshotRoute::takeFromPortal(ScreenGrab::PictureAnswer answer) {
    m_log.note(QStringLiteral("ekran: prośba o zrzut do portalu pulpitu"));
    QPointer<ScreenshotRoute> self(this);
    m_portal->take([self, answer](const QImage& picture, const QString& error) {
        const bool refused = PortalScreenshot::isRefusal(error);
        if (self) {
            if (!picture.isNull() || refused)
                self->m_allowed = !picture.isNull();
            self->m_log.note(
                picture.isNull()
                    ? QStringLiteral("ekran: ") + error
                    : QStringLiteral("ekran: zrzut z portalu %1×%2").arg(picture.width()).arg(picture.height()));
        }
        answer(picture, refused ? ScreenGrab::Failure::Refused : ScreenGrab::Failure::NoDisplay);
    });
}

ScreenGrabber ScreenshotRoute::grabber() {
    if (!m_portal)
        return m_grab->grabber();
    // What the card will say about a picture that did not come (refused, no answer in time) goes to the log too.
    QPointer<ScreenshotRoute> self(this);
    return [self, grab = m_grab->grabber()](int maxWidth, std::function<void(const ScreenShot&)> done) {
        grab(maxWidth, [self, done](const ScreenShot& shot) {
            if (self && !shot.ok()) {
                self->m_log.note(QStringLiteral("ekran: na karcie: ") + shot.error);
                if (shot.error == ScreenGrab::description(ScreenGrab::Failure::TimedOut))
                    self->m_allowed = false;
            }
            done(shot);
        });
    };
}

} // namespace quippet
