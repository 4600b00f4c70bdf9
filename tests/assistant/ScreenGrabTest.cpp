#include "assistant/ScreenGrab.h"

#include "support/ManualClock.h"

#include <gtest/gtest.h>

#include <QImage>

using namespace quippet;
using namespace std::chrono_literals;

namespace {
QSize jpegSize(const QByteArray& bytes) {
    return QImage::fromData(bytes, "JPEG").size();
}
} // namespace

TEST(ScreenGrabTest, WidthIsCappedNeverEnlargedAndTruncated) {
    EXPECT_EQ(ScreenGrab::targetSize({1920, 1080}, 2400), QSize(1920, 1080));
    EXPECT_EQ(ScreenGrab::targetSize({2400, 1351}, 2400), QSize(2400, 1351));
    EXPECT_EQ(ScreenGrab::targetSize({3840, 2160}, 2400), QSize(2400, 1350));

    QImage screen(3024, 1964, QImage::Format_ARGB32);
    screen.fill(Qt::darkCyan);
    const ScreenShot big = ScreenGrab::encode(screen, 2400);
    ASSERT_TRUE(big.ok()) << big.error.toStdString();
    EXPECT_EQ(jpegSize(big.jpeg), QSize(2400, 1558));

    QImage small(800, 600, QImage::Format_RGB32);
    small.fill(Qt::white);
    EXPECT_EQ(jpegSize(ScreenGrab::encode(small, 2400).jpeg), QSize(800, 600));

    const ScreenShot none = ScreenGrab::encode(QImage(), 2400);
    EXPECT_FALSE(none.ok());
    EXPECT_EQ(none.error, QStringLiteral("nie znaleziono ekranu"));
}

TEST(ScreenGrabTest, OwnWindowsAreHiddenForTheMomentOfTheGrab) {
    ManualClock clock;
    ScreenGrab grab(clock);
    QStringList steps;
    QObject::connect(&grab, &ScreenGrab::hidingOwnWindows, [&] { steps << QStringLiteral("hide"); });
    QObject::connect(&grab, &ScreenGrab::showingOwnWindows, [&] { steps << QStringLiteral("show"); });
    grab.grabScreen = [&] {
        steps << QStringLiteral("grab");
        QImage image(1000, 500, QImage::Format_RGB32);
        image.fill(Qt::black);
        return image;
    };
    std::optional<ScreenShot> result;
    grab.grabber()(400, [&](const ScreenShot& shot) {
        steps << QStringLiteral("done");
        result = shot;
    });
    EXPECT_EQ(steps, QStringList{QStringLiteral("hide")});
    clock.advance(ScreenGrab::kHideSettle - 1ms);
    EXPECT_FALSE(result.has_value());
    clock.advance(1ms);
    EXPECT_EQ(steps, (QStringList{QStringLiteral("hide"), QStringLiteral("grab"), QStringLiteral("show"),
                                  QStringLiteral("done")}));
    ASSERT_TRUE(result && result->ok());
    EXPECT_EQ(jpegSize(result->jpeg), QSize(400, 200));

    // Without a GUI application there is no screen to grab; the windows still come back.
    grab.grabScreen = nullptr;
    steps.clear();
    grab.capture(2400, [&](const ScreenShot& shot) { result = shot; });
    clock.advance(1s);
    EXPECT_EQ(result->error, QStringLiteral("nie znaleziono ekranu"));
    EXPECT_EQ(steps, (QStringList{QStringLiteral("hide"), QStringLiteral("show")}));
}

// A source that may ask the user first: the windows are back within kAskingAfter whatever it does, shown once, and
// its answer is awaited kGiveUpAfter at most; a late answer is dropped.
TEST(ScreenGrabTest, ASlowSourceGetsTheWindowsBackInBoundedTime) {
    using F = ScreenGrab::Failure;
    struct Case {
        const char* name;
        std::optional<std::chrono::milliseconds> answerAfter; // after the request; none: never in time
        F failure;                                            // answered with a null picture unless NoDisplay
        QStringList steps;
        QString error;
    };
    const QString refused = ScreenGrab::description(F::Refused);
    const QString timedOut = ScreenGrab::description(F::TimedOut);
    const QList<Case> cases{
        {"quick picture", 500ms, F::NoDisplay, {"hide", "take", "show", "done"}, {}},
        {"allowed after asking", 10s, F::NoDisplay, {"hide", "take", "show", "asking", "done"}, {}},
        {"refused after asking", 10s, F::Refused, {"hide", "take", "show", "asking", "done"}, refused},
        {"no answer", std::nullopt, F::NoDisplay, {"hide", "take", "show", "asking", "done"}, timedOut},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ManualClock clock;
        ScreenGrab grab(clock);
        QStringList steps;
        ScreenGrab::PictureAnswer answer;
        QObject::connect(&grab, &ScreenGrab::hidingOwnWindows, [&] { steps << QStringLiteral("hide"); });
        QObject::connect(&grab, &ScreenGrab::showingOwnWindows, [&] { steps << QStringLiteral("show"); });
        QObject::connect(&grab, &ScreenGrab::askingUser, [&] { steps << QStringLiteral("asking"); });
        grab.takePicture = [&](ScreenGrab::PictureAnswer a) {
            steps << QStringLiteral("take");
            answer = std::move(a);
        };
        std::optional<ScreenShot> result;
        grab.capture(400, [&](const ScreenShot& shot) {
            steps << QStringLiteral("done");
            result = shot;
        });
        clock.advance(ScreenGrab::kHideSettle);
        ASSERT_TRUE(answer);
        QImage picture(800, 400, QImage::Format_RGB32);
        picture.fill(Qt::black);
        const QImage given = c.failure == F::NoDisplay ? picture : QImage();
        if (c.answerAfter) {
            clock.advance(*c.answerAfter);
            answer(given, c.failure);
        } else {
            clock.advance(ScreenGrab::kGiveUpAfter);
            answer(picture, F::NoDisplay); // too late
        }
        clock.advance(ScreenGrab::kGiveUpAfter);
        EXPECT_EQ(steps, c.steps);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->error, c.error);
        EXPECT_EQ(result->ok(), c.error.isEmpty());
    }
}
