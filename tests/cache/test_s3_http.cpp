#include "cache/aws_credentials.h"
#include "cache/curl_transfers.h"
#include "cache/printable_text.h"
#include "cache/s3_addressing.h"
#include "cache/s3_answers.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

using namespace lyrane;

namespace {

// JSON written with single quotes, for tables that read better without escapes.
QByteArray json(const char* text) {
    return QByteArray(text).replace('\'', '"');
}

} // namespace

class TestS3Http : public QObject {
    Q_OBJECT

private slots:
    void addressesObjects_data() {
        QTest::addColumn<QString>("bucket");
        QTest::addColumn<QString>("region");
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<int>("style");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("url");
        const int automatic = int(S3AddressingStyle::Auto), path = int(S3AddressingStyle::Path);
        const int virtualHost = int(S3AddressingStyle::Virtual);
        // clang-format off
        QTest::newRow("AWS") << "clips" << "eu-west-1" << "" << automatic << "tts/a.wav" << QByteArray("https://clips.s3.eu-west-1.amazonaws.com/tts/a.wav");
        QTest::newRow("AWS, dotted bucket") << "my.clips" << "us-east-1" << "" << automatic << "a.wav" << QByteArray("https://s3.us-east-1.amazonaws.com/my.clips/a.wav");
        QTest::newRow("AWS, upper-case bucket") << "Clips" << "us-east-1" << "" << automatic << "a" << QByteArray("https://s3.us-east-1.amazonaws.com/Clips/a");
        QTest::newRow("AWS China") << "clips" << "cn-north-1" << "" << automatic << "a" << QByteArray("https://clips.s3.cn-north-1.amazonaws.com.cn/a");
        QTest::newRow("local address") << "clips" << "us-east-1" << "http://127.0.0.1:5000" << automatic << "a" << QByteArray("http://127.0.0.1:5000/clips/a");
        QTest::newRow("localhost") << "clips" << "us-east-1" << "http://LOCALHOST:9000/" << automatic << "a" << QByteArray("http://localhost:9000/clips/a");
        QTest::newRow("IPv6") << "clips" << "us-east-1" << "http://[::1]:9000" << automatic << "a" << QByteArray("http://[::1]:9000/clips/a");
        QTest::newRow("named endpoint") << "clips" << "auto" << "https://s3.example.net" << automatic << "a" << QByteArray("https://clips.s3.example.net/a");
        QTest::newRow("named endpoint, path asked") << "clips" << "auto" << "https://s3.example.net" << path << "a" << QByteArray("https://s3.example.net/clips/a");
        QTest::newRow("address, virtual asked") << "clips" << "us-east-1" << "http://127.0.0.1:5000" << virtualHost << "a" << QByteArray("http://clips.127.0.0.1:5000/a");
        QTest::newRow("endpoint with a path") << "clips" << "x" << "https://gw.example.net/s3/" << path << "a" << QByteArray("https://gw.example.net/s3/clips/a");
        QTest::newRow("key spelled out") << "clips" << "x" << "http://127.0.0.1" << automatic << "a b/+é~_-.%?#&=" << QByteArray("http://127.0.0.1/clips/a%20b/%2B%C3%A9~_-.%25%3F%23%26%3D");
        QTest::newRow("dot segments kept") << "clips" << "x" << "http://127.0.0.1" << automatic << "a/../b//c" << QByteArray("http://127.0.0.1/clips/a/../b//c");
        // clang-format on
    }

    void addressesObjects() {
        QFETCH(QString, bucket);
        QFETCH(QString, region);
        QFETCH(QString, endpoint);
        QFETCH(int, style);
        QFETCH(QString, key);
        QFETCH(QByteArray, url);
        const S3Addressing addressing(bucket, region, endpoint, S3AddressingStyle(style));
        QVERIFY(addressing.isValid());
        QCOMPARE(addressing.objectUrl(key), url);
    }

    void refusesEndpointsThatAreNotHttp_data() {
        QTest::addColumn<QString>("endpoint");
        QTest::newRow("no scheme") << "127.0.0.1:9000";
        QTest::newRow("ftp") << "ftp://s3.example.net";
        QTest::newRow("no host") << "http://";
    }

    void refusesEndpointsThatAreNotHttp() {
        QFETCH(QString, endpoint);
        const S3Addressing addressing("clips", "us-east-1", endpoint, S3AddressingStyle::Auto);
        QVERIFY(!addressing.isValid());
        QVERIFY(addressing.problem().contains(endpoint));
    }

    // A bucket found in another region moves to that region's host (and signing).
    void followsTheBucketToItsRegion() {
        S3Addressing addressing("clips", "us-east-1", QString(), S3AddressingStyle::Auto);
        addressing.moveToRegion("ap-south-1");
        QCOMPARE(addressing.region(), QStringLiteral("ap-south-1"));
        QCOMPARE(addressing.bucketUrl("list-type=2&prefix=t%2F"),
                 QByteArray("https://clips.s3.ap-south-1.amazonaws.com/?list-type=2&prefix=t%2F"));
    }

    void readsListingPages_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("next");
        // clang-format off
        QTest::newRow("last page") << QByteArray("<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>b</Name><Contents><Key>t/a&amp;b</Key><ETag>&quot;00ff&quot;</ETag><Size>3</Size></Contents><IsTruncated>false</IsTruncated></ListBucketResult>") << true << QStringList{"t/a&b"} << "";
        QTest::newRow("more to come") << QByteArray("<ListBucketResult><IsTruncated>true</IsTruncated><Contents><Key>x</Key></Contents><NextContinuationToken>1/+=</NextContinuationToken></ListBucketResult>") << true << QStringList{"x"} << "1/+=";
        QTest::newRow("more, but from where") << QByteArray("<ListBucketResult><IsTruncated>true</IsTruncated></ListBucketResult>") << false << QStringList() << "";
        QTest::newRow("an error") << QByteArray("<Error><Code>AccessDenied</Code></Error>") << false << QStringList() << "";
        QTest::newRow("cut short") << QByteArray("<ListBucketResult><Contents><Key>x</Ke") << false << QStringList{"x"} << "";
        // clang-format on
    }

    void readsListingPages() {
        QFETCH(QByteArray, body);
        QFETCH(bool, ok);
        QFETCH(QStringList, keys);
        QFETCH(QString, next);
        const ListingPage page = readListingPage(body);
        QCOMPARE(page.ok, ok);
        if (ok) {
            QStringList read;
            for (const ListedObject& object : page.objects) {
                read << object.key;
            }
            QCOMPARE(read, keys);
            QCOMPARE(page.nextToken, next);
        }
    }

    void readsErrors() {
        const S3Error denied =
            readS3Error("<?xml version=\"1.0\"?>\n<Error><Code>AccessDenied</Code>"
                        "<Message>Access Denied</Message><RequestId>7</RequestId>"
                        "</Error>");
        QCOMPARE(denied.code, QStringLiteral("AccessDenied"));
        QCOMPARE(denied.message, QStringLiteral("Access Denied"));
        QVERIFY(readS3Error("<html>502 Bad Gateway</html>").code.isEmpty());
    }

    void readsExportedCredentials_data() {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<bool>("read");
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QDateTime>("expiration");
        const QDateTime noon(QDate(2030, 1, 1), QTime(12, 0), Qt::UTC);
        // clang-format off
        QTest::newRow("static keys") << json("{'Version':1,'AccessKeyId':'AK','SecretAccessKey':'SK'}") << true << QByteArray() << QDateTime();
        QTest::newRow("a role's") << json("{'Version':1,'AccessKeyId':'AK','SecretAccessKey':'SK','SessionToken':'T','Expiration':'2030-01-01T12:00:00+00:00'}") << true << QByteArray("T") << noon;
        QTest::newRow("expiration in Z") << json("{'AccessKeyId':'AK','SecretAccessKey':'SK','Expiration':'2030-01-01T12:00:00Z'}") << true << QByteArray() << noon;
        QTest::newRow("expiration unreadable") << json("{'AccessKeyId':'AK','SecretAccessKey':'SK','Expiration':'soon'}") << false << QByteArray() << QDateTime();
        QTest::newRow("no secret") << json("{'AccessKeyId':'AK'}") << false << QByteArray() << QDateTime();
        QTest::newRow("not JSON") << QByteArray("AccessKeyId=AK") << false << QByteArray() << QDateTime();
        // clang-format on
    }

    void readsExportedCredentials() {
        QFETCH(QByteArray, output);
        QFETCH(bool, read);
        QFETCH(QByteArray, token);
        QFETCH(QDateTime, expiration);
        const std::optional<AwsCredentials> credentials = readExportedCredentials(output);
        QCOMPARE(credentials.has_value(), read);
        if (read) {
            QCOMPARE(credentials->accessKeyId, QByteArray("AK"));
            QCOMPARE(credentials->secretAccessKey, QByteArray("SK"));
            QCOMPARE(credentials->sessionToken, token);
            QCOMPARE(credentials->expiration, expiration);
        }
    }

    void printsTextOthersWrote_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        // clang-format off
        QTest::newRow("plain") << "host-7:42" << "host-7:42";
        QTest::newRow("escape sequence") << "\x1b[2Jx" << "\\x1b[2Jx";
        QTest::newRow("a fake second line") << "a\nWaiting for b" << "a\\x0aWaiting for b";
        QTest::newRow("carriage return, DEL, C1") << "a\rb\x7f" "\xc2\x9b" << "a\\x0db\\x7f\\x9b";
        QTest::newRow("line separator, right-to-left override") << QString::fromUtf8("a\u2028b\u202ec") << "a\\u{2028}b\\u{202e}c";
        QTest::newRow("letters beyond ASCII kept") << QString::fromUtf8("Zoë 東京 🎧") << QString::fromUtf8("Zoë 東京 🎧");
        QTest::newRow("cut at the limit") << QString(205, 'x') << QString(200, 'x') + "...";
        // clang-format on
    }

    void printsTextOthersWrote() {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(printableText(text), shown);
    }

    // A server that takes the connection and never answers ends the exchange after the time
    // without progress, and ending the context ends it without a call.
    void endsSilentExchanges() {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QList<QTcpSocket*> accepted;
        connect(&silent, &QTcpServer::newConnection, this,
                [&] { accepted << silent.nextPendingConnection(); });
        HttpRequest request;
        request.url = "http://127.0.0.1:" + QByteArray::number(silent.serverPort()) + "/b/k";
        CurlTransfers transfers;

        QObject context;
        std::optional<HttpAnswer> answer;
        transfers.send(request, 300, &context, [&](const HttpAnswer& got) { answer = got; });
        QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 10000);
        QVERIFY(answer->timedOut);
        QVERIFY(!answer->answered);

        int calls = 0;
        {
            QObject shortLived;
            transfers.send(request, 0, &shortLived, [&](const HttpAnswer&) { ++calls; });
            QTRY_COMPARE(accepted.size(), 2);
        }
        QTest::qWait(200);
        QCOMPARE(calls, 0);
        // The same in the stopping run's form, without the event loop.
        const QList<HttpAnswer> now = CurlTransfers::sendNow({request, request}, 300);
        QCOMPARE(now.size(), 2);
        QVERIFY(now[0].timedOut && now[1].timedOut);
    }
};

QTEST_GUILESS_MAIN(TestS3Http)
#include "test_s3_http.moc"
