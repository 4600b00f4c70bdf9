#include "speech/UsageMeter.h"

#include "core/Settings.h"
#include "peers/HttpPeer.h"
#include "secrets/Keychain.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

using namespace quippet;
using namespace quippet::test;
using namespace std::chrono_literals;

namespace {

struct MeterFixture {
    MeterFixture() {
        EXPECT_TRUE(peer.start());
        Settings::setValue(Settings::kElevenLabsBaseUrl, peer.baseUrl().toString());
        keychain.write(QLatin1String(Keychain::kElevenLabsKey), QStringLiteral("sk_meter\n"));
    }
    // Runs one refresh to its end.
    bool refresh(bool setBaseline) {
        QSignalSpy done(&meter, &UsageMeter::refreshed);
        meter.refresh(setBaseline);
        return done.wait(5000);
    }
    void answer(const QByteArray& body, int status = 200) {
        peer.route("GET", QStringLiteral("/v1/usage/character-stats"), HttpResponse::json(status, body));
    }

    TempHome home;
    ManualClock clock{1'767'225'600'999};
    MemorySecretStore store;
    Keychain keychain{store};
    HttpPeer peer;
    UsageMeter meter{keychain, clock};
};

} // namespace

TEST(UsageMeterTest, CostAndSummaryFromUsageTotals) {
    MeterFixture f;
    EXPECT_EQ(f.meter.summary(), QStringLiteral("koszt: —"));

    f.answer(R"({"usage":{"scribe_v2_realtime":[3000,600],"scribe_v1":[]}})");
    ASSERT_TRUE(f.refresh(true));
    EXPECT_EQ(f.meter.baseline(), 3600);
    EXPECT_EQ(f.meter.summary(), QStringLiteral("koszt sesji: $0.000  (dziś 3600 jednostek)"));

    // The request: the key in its header, the 24 hours before the present whole second, per model.
    const HttpRequest request = f.peer.requests().last();
    EXPECT_EQ(request.header("xi-api-key"), QByteArray("sk_meter"));
    EXPECT_EQ(request.query().toString(),
              QStringLiteral("start_unix=1767139200000&end_unix=1767225600000&breakdown_type=model"));

    QSignalSpy changed(&f.meter, &UsageMeter::usageChanged);
    f.answer(R"({"usage":{"a":[7000.5],"b":[199.5]}})");
    ASSERT_TRUE(f.refresh(false));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(f.meter.baseline(), 3600);
    EXPECT_EQ(f.meter.summary(), QStringLiteral("koszt sesji: $0.390  (dziś 7200 jednostek)"));

    // Units aging out of the 24-hour window never make the cost negative.
    f.answer(R"({"usage":{"a":[10,20],"b":[5]}})");
    ASSERT_TRUE(f.refresh(false));
    EXPECT_EQ(f.meter.summary(), QStringLiteral("koszt sesji: $0.000  (dziś 35 jednostek)"));
}

TEST(UsageMeterTest, FailuresKeepTheLastValues) {
    MeterFixture f;
    f.answer(R"({"usage":{"a":[100]}})");
    ASSERT_TRUE(f.refresh(true));

    // Bodies of the wrong shape, whatever the status.
    for (const QByteArray& body : {QByteArray(R"({"detail":"unauthorized"})"), QByteArray("[]"), QByteArray("oops"),
                                   QByteArray(R"({"usage":{"a":[1,"2"]}})"), QByteArray(R"({"usage":[1]})")}) {
        f.answer(body, body.startsWith("{\"detail") ? 401 : 200);
        ASSERT_TRUE(f.refresh(true));
        EXPECT_EQ(f.meter.lastError(), QStringLiteral("nieoczekiwana odpowiedź zużycia")) << body.constData();
        EXPECT_EQ(f.meter.rawToday(), 100);
        EXPECT_EQ(f.meter.baseline(), 100);
    }

    // A success clears the error.
    f.answer(R"({"usage":{"a":[150]}})");
    ASSERT_TRUE(f.refresh(false));
    EXPECT_TRUE(f.meter.lastError().isEmpty());
    EXPECT_EQ(f.meter.rawToday(), 150);

    // A transport failure reports the network's description.
    f.peer.route("GET", QStringLiteral("/v1/usage/character-stats"), HttpResponse::drop());
    ASSERT_TRUE(f.refresh(false));
    EXPECT_FALSE(f.meter.lastError().isEmpty());
    EXPECT_NE(f.meter.lastError(), QStringLiteral("nieoczekiwana odpowiedź zużycia"));
    EXPECT_EQ(f.meter.rawToday(), 150);

    // Without the user's own key nothing is asked.
    f.store.remove(QLatin1String(Keychain::kElevenLabsKey), QLatin1String(Keychain::kAccount));
    const qsizetype asked = f.peer.requests().size();
    ASSERT_TRUE(f.refresh(false));
    EXPECT_EQ(f.meter.lastError(), QStringLiteral("brak klucza ElevenLabs"));
    EXPECT_EQ(f.peer.requests().size(), asked);
    EXPECT_EQ(f.meter.rawToday(), 150);
}

TEST(UsageMeterTest, PollingTakesBaselineThenRefreshesEveryMinute) {
    MeterFixture f;
    int total = 1000;
    f.peer.route("GET", QStringLiteral("/v1/usage/character-stats"), [&](const HttpRequest&) {
        total += 360;
        return HttpResponse::json(200, QByteArray(R"({"usage":{"m":[)") + QByteArray::number(total) + "]}}");
    });
    QSignalSpy done(&f.meter, &UsageMeter::refreshed);
    f.meter.startPolling();
    ASSERT_TRUE(done.wait(5000));
    EXPECT_EQ(f.meter.baseline(), 1360);

    f.clock.advance(59s);
    QCoreApplication::processEvents();
    EXPECT_EQ(f.peer.requests().size(), 1);
    f.clock.advance(1s);
    ASSERT_TRUE(done.wait(5000));
    EXPECT_EQ(f.meter.rawToday(), 1720);
    EXPECT_EQ(f.meter.baseline(), 1360);
    EXPECT_NEAR(f.meter.sessionCost(), 0.039, 1e-9);

    // A new listening period starts from a fresh baseline.
    f.meter.stopPolling();
    f.clock.advance(300s);
    QCoreApplication::processEvents();
    EXPECT_EQ(f.peer.requests().size(), 2);
    f.meter.startPolling();
    ASSERT_TRUE(done.wait(5000));
    EXPECT_EQ(f.meter.baseline(), 2080);
    EXPECT_EQ(f.meter.sessionCost(), 0);
    EXPECT_EQ(f.clock.activeTimers(), 1);
}
