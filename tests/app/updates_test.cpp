// The update check: versions, the installed configuration, and the controller against a fake feed on
// 127.0.0.1 (newer, the same, older, refused, broken).

#include <QElapsedTimer>
#include <QSignalSpy>

#include "app/shell/update_feed.hpp"
#include "app/shell/updates.hpp"
#include "app_test_support.hpp"
#include "fake_http_server.hpp"
#include "test_pdfs.hpp"

using namespace kivo;
using namespace kivo::testing;
using Kind = UpdateFeed::Outcome::Kind;

Q_DECLARE_METATYPE(Kind)

namespace {

// A server that answers every request with `status` and `body`.
FakeHttpServer::Handler answering(int status, std::string body) {
    return [status, body](const RecordedRequest&, FakeConnection& connection) {
        connection.respond(status, body, {"Content-Type: application/json"});
    };
}

}  // namespace

class UpdatesTest : public QObject {
    Q_OBJECT

private slots:
    void versionsCompareNumerically_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        QTest::newRow("ten after nine") << "1.10.0"
                                        << "1.9.2" << 1;
        QTest::newRow("missing parts are zero") << "1.2"
                                                << "1.2.0" << 0;
        QTest::newRow("patch") << "0.1.0"
                               << "0.1.1" << -1;
        QTest::newRow("not as text") << "2"
                                     << "10" << -1;
    }
    void versionsCompareNumerically() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        const auto left = UpdateFeed::parseVersion(a.toStdString());
        const auto right = UpdateFeed::parseVersion(b.toStdString());
        QVERIFY(left && right);
        QCOMPARE(UpdateFeed::compare(*left, *right), order);
        QCOMPARE(UpdateFeed::compare(*right, *left), -order);
    }

    void malformedVersionsAreRefused_data() {
        QTest::addColumn<QString>("text");
        for (const char* text :
             {"", "1.", ".1", "1..2", "v1.2", "1.2.3.4.5", "1.2-beta", "1234567890", " 1.2"})
            QTest::newRow(text) << text;
    }
    void malformedVersionsAreRefused() {
        QFETCH(QString, text);
        QVERIFY(!UpdateFeed::parseVersion(text.toStdString()));
    }

    void theInstalledConfigurationNamesTheFeed_data() {
        QTest::addColumn<QString>("contents");
        QTest::addColumn<QString>("feed");
        QTest::newRow("https") << "{\"feed\": \"https://updates.example.org/kivo.json\"}"
                               << "https://updates.example.org/kivo.json";
        QTest::newRow("loopback http") << "{\"feed\": \"http://127.0.0.1:8080/feed\"}"
                                       << "http://127.0.0.1:8080/feed";
        QTest::newRow("plain http elsewhere") << "{\"feed\": \"http://updates.example.org/kivo.json\"}"
                                              << "";
        QTest::newRow("another scheme") << "{\"feed\": \"ftp://updates.example.org/kivo.json\"}"
                                        << "";
        QTest::newRow("not an address") << "{\"feed\": \"updates\"}"
                                        << "";
        QTest::newRow("feed not a string") << "{\"feed\": 7}"
                                           << "";
        QTest::newRow("not JSON") << "feed = https://updates.example.org"
                                  << "";
        QTest::newRow("too long") << "{\"feed\": \"https://updates.example.org/kivo.json\"}" +
                                         QString(int(UpdateFeed::maximumBytes), QLatin1Char(' '))
                                  << "";
        QTest::newRow("no file") << QString() << "";
    }
    void theInstalledConfigurationNamesTheFeed() {
        QFETCH(QString, contents);
        QFETCH(QString, feed);
        const ShortTempDir folder;
        const auto path = folder.path() / "updates.json";
        if (!contents.isNull()) writeFile(path, contents.toStdString());
        const auto found = UpdateFeed::configuredFeed(path);
        QCOMPARE(found ? QString::fromStdString(found->text()) : QString(), feed);
        // Without a feed there is no controller, so the menu item stays disabled.
        QCOMPARE(Updates(found).controller() != nullptr, !feed.isEmpty());
    }

    void theInstallationKeepsItsConfigurationInItsSharedData() {
        // The tests run from the build's bin folder, as an installed editor runs from <prefix>/bin.
        QCOMPARE(Updates::installedConfiguration(),
                 (std::filesystem::path(KIVO_BIN_DIR) / "../share/kivo-pdf/updates.json").lexically_normal());
    }

    void aCheckTellsWhatTheFeedSays_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("page");
        QTest::newRow("newer")
            << 200 << "{\"version\": \"1.4.0\", \"page\": \"https://kivo.example.org/1.4\"}" << Kind::newer
            << "Kivo PDF 1.4.0 is available."
            << "You have version 1.3.0. Install the new one with your system's package manager; Kivo "
               "PDF downloads nothing itself.\n\nMore at https://kivo.example.org/1.4"
            << "https://kivo.example.org/1.4";
        QTest::newRow("newer, page not https")
            << 200 << "{\"version\": \"1.3.1\", \"page\": \"http://kivo.example.org\"}" << Kind::newer
            << "Kivo PDF 1.3.1 is available."
            << "You have version 1.3.0. Install the new one with your system's "
               "package manager; Kivo PDF downloads nothing itself."
            << "";
        QTest::newRow("same") << 200 << "{\"version\": \"1.3\"}" << Kind::newest
                              << "Kivo PDF 1.3.0 is the newest version."
                              << ""
                              << "";
        QTest::newRow("older") << 200 << "{\"version\": \"1.2.9\"}" << Kind::newest
                               << "Kivo PDF 1.3.0 is the newest version."
                               << ""
                               << "";
        QTest::newRow("not found") << 404 << "missing" << Kind::failed
                                   << "Kivo PDF could not check for updates."
                                   << "The update server answered with HTTP status 404."
                                   << "";
        QTest::newRow("no version") << 200 << "{\"release\": \"1.4.0\"}" << Kind::failed
                                    << "Kivo PDF could not check for updates."
                                    << "The update server's answer is not an update feed."
                                    << "";
        QTest::newRow("unreachable")
            << 0 << "" << Kind::failed << "Kivo PDF could not check for updates."
            << "The update server could not be reached. Check the network connection, "
               "then try again."
            << "";
    }
    void aCheckTellsWhatTheFeedSays() {
        QFETCH(int, status);
        QFETCH(QString, body);
        QFETCH(Kind, kind);
        QFETCH(QString, message);
        QFETCH(QString, detail);
        QFETCH(QString, page);
        auto server = std::make_unique<FakeHttpServer>(answering(status, body.toStdString()));
        const std::string feed = server->url() + "/kivo/feed.json";
        // Nobody listens on the port of a server that is gone.
        if (status == 0) server.reset();
        Updates updates(Http::Address::parse(feed), "1.3.0");
        UpdateController* controller = updates.controller();
        QVERIFY(controller);
        QSignalSpy checked(controller, &UpdateController::checked);
        controller->checkForUpdates();
        QVERIFY(controller->checking());
        // A second request while the first runs changes nothing.
        controller->checkForUpdates();
        QVERIFY(checked.wait(20'000));
        QTest::qWait(100);
        QCOMPARE(checked.size(), 1);
        QVERIFY(!controller->checking());

        const auto outcome = checked.first().first().value<UpdateFeed::Outcome>();
        QCOMPARE(outcome.kind, kind);
        QCOMPARE(QString::fromStdString(outcome.message), message);
        QCOMPARE(QString::fromStdString(outcome.detail), detail);
        QCOMPARE(QString::fromStdString(outcome.page.value_or("")), page);
        if (!server) return;
        const auto requests = server->requests();
        QCOMPARE(requests.size(), 1u);
        QCOMPARE(requests.front().method, std::string("GET"));
        QCOMPARE(requests.front().target, std::string("/kivo/feed.json"));
    }

    void aControllerGoneEndsItsCheckAtOnce() {
        FakeHttpServer server([](const RecordedRequest&, FakeConnection& connection) {
            connection.pause(std::chrono::seconds(20));
        });
        QElapsedTimer timer;
        timer.start();
        {
            Updates updates(Http::Address::parse(server.url() + "/feed"), "1.0");
            updates.controller()->checkForUpdates();
            QVERIFY(waitUntil([&] { return server.connections() == 1; }, 10));
        }
        // The stalled fetch ended with the controller instead of waiting out its limits.
        QVERIFY(timer.elapsed() < 10'000);
    }
};

KIVO_APP_TEST_MAIN(UpdatesTest)
#include "updates_test.moc"
