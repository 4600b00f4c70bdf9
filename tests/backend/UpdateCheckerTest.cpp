#include "backend/UpdateChecker.h"

#include "core/Settings.h"
#include "peers/HttpPeer.h"
#include "support/ManualClock.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

using namespace quippet;
using namespace quippet::test;
using namespace std::chrono_literals;

namespace {

QByteArray feed(const QByteArray& items) {
    return "<?xml version=\"1.0\"?><rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><title>Quippet</title>" +
           items + "</channel></rss>";
}

QByteArray item(const QByteArray& version, const QByteArray& extra = {}) {
    return "<item><title>Quippet " + version + "</title><link>https://quippet.app/download/" + version +
           "</link><description><![CDATA[<p>Notes for " + version + "</p>]]></description>" +
           "<enclosure url=\"https://quippet.app/q-" + version + ".zip\" sparkle:version=\"" + version + "\"/>" +
           extra + "</item>";
}

TEST(UpdateCheckerTest, VersionOrder) {
    struct Row {
        const char *a, *b;
        int order;
    };
    for (const Row& r :
         {Row{"1.10", "1.9", 1}, Row{"1.2", "1.2.0", 0}, Row{"0.1.0", "0.1.1", -1}, Row{"2.0", "2.0-beta", 1},
          Row{"2.0-beta2", "2.0-beta10", -1}, Row{"v3", "2.99", 1}, Row{"1.0", "1.0", 0}, Row{"10.0.0", "9.999", 1}}) {
        EXPECT_EQ(appcast::compareVersions(QLatin1String(r.a), QLatin1String(r.b)), r.order) << r.a << " vs " << r.b;
        EXPECT_EQ(appcast::compareVersions(QLatin1String(r.b), QLatin1String(r.a)), -r.order) << r.b << " vs " << r.a;
    }
}

TEST(UpdateCheckerTest, FeedsGoodOddAndHostile) {
    QString error;
    // The newest by version, not by position; the short version string is what users see.
    auto newest = appcast::newest(
        feed(item("1.9") + item("1.10", "<sparkle:shortVersionString>1.10 LTS</sparkle:shortVersionString>") +
             item("1.2")),
        &error);
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->version, QStringLiteral("1.10 LTS"));
    EXPECT_EQ(newest->page, QUrl(QStringLiteral("https://quippet.app/download/1.10")));
    EXPECT_EQ(newest->notes, QStringLiteral("Notes for 1.10"));

    // Items without a version are passed over; a feed with none says so.
    newest = appcast::newest(feed("<item><title>teaser</title></item>" + item("0.3")), &error);
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->version, QStringLiteral("0.3"));
    EXPECT_FALSE(appcast::newest(feed("<item><title>teaser</title></item>"), &error));
    EXPECT_EQ(error, QStringLiteral("kanał aktualizacji bez numeru wersji"));
    EXPECT_FALSE(appcast::newest("<rss><channel><item>", &error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("kanał aktualizacji nieczytelny")));

    // Huge notes are cut; a page that is not https is never offered.
    newest = appcast::newest(feed("<item><description>" + QByteArray(500'000, 'x') +
                                  "</description><link>file:///etc/passwd</link><enclosure "
                                  "url=\"javascript:alert(1)\" sparkle:version=\"9\"/></item>"));
    ASSERT_TRUE(newest);
    EXPECT_LE(newest->notes.size(), 4001);
    EXPECT_TRUE(newest->page.isEmpty());
}

class UpdateCheckerPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.start());
        Settings::setValue(Settings::kUpdateFeedUrl, peer.baseUrl().toString() + QStringLiteral("/appcast.xml"));
    }
    UpdateChecker::Result check() {
        UpdateChecker::Result got;
        bool done = false;
        checker.check([&](const UpdateChecker::Result& r) {
            got = r;
            done = true;
        });
        EXPECT_TRUE(waitUntil([&] { return done; }, 10'000));
        return got;
    }

    TempHome home;
    ManualClock clock;
    HttpPeer peer;
    UpdateChecker checker{clock, QStringLiteral("1.9")};
};

TEST_F(UpdateCheckerPeerTest, OutcomesOfACheck) {
    using O = UpdateChecker::Outcome;
    struct Row {
        HttpResponse answer;
        O outcome;
        const char* error;
    };
    const Row rows[] = {
        {HttpResponse::text(200, feed(item("1.10")), "application/rss+xml"), O::Newer, ""},
        {HttpResponse::text(200, feed(item("1.9")), "application/rss+xml"), O::UpToDate, ""},
        {HttpResponse::text(500, "<html>oops</html>", "text/html"), O::Failed, "kanał aktualizacji: HTTP 500"},
        {HttpResponse::text(200, QByteArray(2 << 20, ' '), "application/rss+xml"), O::Failed,
         "kanał aktualizacji za duży"},
    };
    for (const Row& row : rows) {
        peer.route("GET", QStringLiteral("/appcast.xml"), row.answer);
        const UpdateChecker::Result r = check();
        EXPECT_EQ(r.outcome, row.outcome) << row.error;
        EXPECT_EQ(r.error, QString::fromUtf8(row.error));
    }
}

TEST_F(UpdateCheckerPeerTest, ScheduledAtMostOnceADayAndSilentUnlessNewer) {
    peer.route("GET", QStringLiteral("/appcast.xml"), HttpResponse::text(200, feed(item("1.9"))));
    QList<Release> shown;
    Settings::setValue(Settings::kLastUpdateCheck, clock.nowMs() - 23 * 3600 * 1000);
    QObject::connect(&checker, &UpdateChecker::newerReleaseFound, [&](const Release& r) { shown << r; });
    checker.startSchedule();
    clock.advance(59min);
    EXPECT_TRUE(peer.requests().isEmpty()) << "checked less than a day ago";

    clock.advance(1min); // the hourly look finds the day has passed
    ASSERT_TRUE(peer.waitForRequests(1));
    QCoreApplication::processEvents();
    EXPECT_TRUE(shown.isEmpty()) << "nothing new: nothing shown";

    peer.route("GET", QStringLiteral("/appcast.xml"), HttpResponse::text(200, feed(item("2.0"))));
    clock.advance(23h);
    EXPECT_EQ(peer.requests().size(), 1);
    clock.advance(1h);
    ASSERT_TRUE(peer.waitForRequests(2));
    ASSERT_TRUE(waitUntil([&] { return !shown.isEmpty(); }));
    EXPECT_EQ(shown.first().version, QStringLiteral("2.0"));
}

} // namespace
