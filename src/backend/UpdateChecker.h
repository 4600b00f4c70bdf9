#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace quippet {

class Clock;
class Timer;

// One release as an appcast feed (RSS with the enclosure's version attributes) describes it.
struct Release {
    QString version; // what users see ("1.10.2"), the shortVersionString when the feed has one
    QString title;
    QString notes; // plain text, capped
    QUrl page;     // where to read about and download it (https only)
};

namespace appcast {
// Orders dotted versions by their numbers: 1.10 > 1.9, 1.2 == 1.2.0, 2.0 > 2.0-beta; negative, zero or positive.
int compareVersions(const QString& a, const QString& b);
// The newest release of a feed; nothing when it lists none that can be read. `error` says why a feed is unusable.
std::optional<Release> newest(const QByteArray& feed, QString* error = nullptr);
} // namespace appcast

// Asks the update feed whether a newer Quippet exists. It only tells: nothing is ever downloaded or installed.
// One checker per process; main thread.
class UpdateChecker : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxFeedBytes = 1 << 20;
    static constexpr std::chrono::hours kInterval{24};

    enum class Outcome { UpToDate, Newer, Failed };
    struct Result {
        Outcome outcome = Outcome::Failed;
        Release release;
        QString error;
    };

    UpdateChecker(Clock& clock, QString currentVersion, QObject* parent = nullptr);
    ~UpdateChecker() override;

    // "updateFeedURL" preference, else the service's feed.
    static QUrl feedUrl();

    void check(std::function<void(const Result&)> done);
    // Checks at once when the last check is a day old or more, then again each day; only a newer version is
    // reported, as newerReleaseFound.
    void startSchedule();

signals:
    void newerReleaseFound(const quippet::Release& release);

private:
    void scheduledCheck();

    Clock& m_clock;
    QString m_current;
    QNetworkAccessManager* m_network;
    QPointer<Timer> m_timer;
};

} // namespace quippet
