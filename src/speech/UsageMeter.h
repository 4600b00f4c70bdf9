#pragma once

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QUrl>

#include <chrono>

class QNetworkAccessManager;

namespace quippet {

class Clock;
class Keychain;
class Timer;

// What the current listening period costs on the user's own speech-to-text key: the service's units of the last
// 24 hours, against the value taken when listening started. Main thread only.
class UsageMeter : public QObject {
    Q_OBJECT
    Q_PROPERTY(double rawToday READ rawToday NOTIFY usageChanged)
    Q_PROPERTY(double baseline READ baseline NOTIFY usageChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(double sessionCost READ sessionCost NOTIFY usageChanged)
    Q_PROPERTY(QString summary READ summary NOTIFY usageChanged)
public:
    static constexpr std::chrono::seconds kPollInterval{60};
    static constexpr double kDollarsPerUnitHour = 0.39; // per 3600 units

    UsageMeter(Keychain& keychain, Clock& clock, QObject* parent = nullptr);
    ~UsageMeter() override;

    double rawToday() const { return m_rawToday; }
    double baseline() const { return m_baseline; }
    QString lastError() const { return m_lastError; } // empty: no problem
    double sessionCost() const;
    QString summary() const;

    // Takes a new baseline, then refreshes every 60 seconds until stopPolling().
    void startPolling();
    void stopPolling();
    bool isPolling() const;
    // Asks the service once; with setBaseline the answer also becomes the baseline. The answer arrives later.
    void refresh(bool setBaseline);

    static QUrl statsUrl(const QUrl& serviceBase, qint64 nowMs);

signals:
    void usageChanged();
    void lastErrorChanged();
    // After every refresh that reached an end (success or error), for whoever waits for one.
    void refreshed();

private:
    void request(const QString& key, bool setBaseline);
    void fail(const QString& error);
    void apply(double total, bool setBaseline);

    Keychain& m_keychain;
    Clock& m_clock;
    QNetworkAccessManager* m_network;
    QThreadPool m_keyReads; // the secret store is read off the main thread; joined on destruction
    Timer* m_timer = nullptr;
    double m_rawToday = 0;
    double m_baseline = 0;
    QString m_lastError;
};

} // namespace quippet
