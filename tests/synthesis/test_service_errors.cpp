#include "synthesis/service_errors.h"

#include <QtTest>

using namespace lyrane;

Q_DECLARE_METATYPE(lyrane::ServiceErrorReason)

namespace {

const QString kKey = QStringLiteral("sk_3f9a0c1d2e4b5a6978ffee0011223344");
const QString kLayer = QStringLiteral("Error transferring http://127.0.0.1:4001/v1/text-to-speech/"
                                      "21m00Tcm4TlvDq8ikWAM?output_format=pcm_44100 - server "
                                      "replied: Forbidden");

QByteArray detailBody(const QString& status, const QString& message) {
    return QStringLiteral(R"({"detail":{"status":"%1","message":"%2"}})")
        .arg(status, message)
        .toUtf8();
}

} // namespace

class ServiceErrorsTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void messageAndTip_data();
    void messageAndTip();
    void keyNeverInMessages_data();
    void keyNeverInMessages();
    void withoutSecret_data();
    void withoutSecret();
    void maximumConcurrentRequests_data();
    void maximumConcurrentRequests();
};

void ServiceErrorsTest::parse_data() {
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<ServiceErrorReason>("reason");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("message");

    QTest::newRow("invalid key") << 401 << detailBody("invalid_api_key", "Invalid API key")
                                 << ServiceErrorReason::InvalidApiKey << "invalid_api_key"
                                 << "Invalid API key";
    const QString quota = QStringLiteral("This request exceeds your quota of 10000. You have 0 "
                                         "credits remaining, while 91 credits are required");
    QTest::newRow("quota, also a 401")
        << 401 << detailBody("quota_exceeded", quota) << ServiceErrorReason::QuotaExceeded
        << "quota_exceeded" << quota;
    QTest::newRow("format not allowed")
        << 403
        << detailBody("output_format_not_allowed",
                      "Requested output format pcm_44100 is only allowed for Pro tier and above.")
        << ServiceErrorReason::OutputFormatNotAllowed << "output_format_not_allowed"
        << "Requested output format pcm_44100 is only allowed for Pro tier and above.";
    QTest::newRow("voice not found")
        << 400 << detailBody("voice_not_found", "A voice with voice_id x does not exist.")
        << ServiceErrorReason::VoiceNotFound << "voice_not_found"
        << "A voice with voice_id x does not exist.";
    QTest::newRow("text too long")
        << 400 << detailBody("max_character_limit_exceeded", "Text is 12000 characters long.")
        << ServiceErrorReason::MaxCharacterLimitExceeded << "max_character_limit_exceeded"
        << "Text is 12000 characters long.";
    QTest::newRow("too many at once")
        << 429 << detailBody("too_many_concurrent_requests", "Too many concurrent requests.")
        << ServiceErrorReason::TooManyConcurrentRequests << "too_many_concurrent_requests"
        << "Too many concurrent requests.";
    QTest::newRow("busy") << 429 << detailBody("system_busy", "We are experiencing heavy traffic")
                          << ServiceErrorReason::SystemBusy << "system_busy"
                          << "We are experiencing heavy traffic";
    QTest::newRow("other named reason")
        << 403 << detailBody("only_for_creator+", "Professional voices need Creator.")
        << ServiceErrorReason::Other << "only_for_creator+"
        << "Professional voices need Creator.";
    QTest::newRow("422 first entry")
        << 422
        << QByteArray(
               R"({"detail":[{"loc":["body","voice_settings","stability"],)"
               R"("msg":"Input should be less than or equal to 1","type":"less_than_equal"},)"
               R"({"loc":["body","text"],"msg":"Field required","type":"missing"}]})")
        << ServiceErrorReason::InvalidRequest << "body.voice_settings.stability"
        << "Input should be less than or equal to 1";
    QTest::newRow("422 with an index in its location")
        << 422
        << QByteArray(R"({"detail":[{"loc":["body","pronunciation_dictionary_locators",3,)"
                      R"("version_id"],"msg":"Field required","type":"missing"}]})")
        << ServiceErrorReason::InvalidRequest
        << "body.pronunciation_dictionary_locators.3.version_id"
        << "Field required";
    QTest::newRow("422 without a location")
        << 422 << QByteArray(R"({"detail":[{"msg":"Bad input"}]})")
        << ServiceErrorReason::InvalidRequest << ""
        << "Bad input";
    QTest::newRow("422 with an empty list")
        << 422 << QByteArray(R"({"detail":[]})") << ServiceErrorReason::None << ""
        << "";
    QTest::newRow("5xx not wrapped")
        << 500
        << QByteArray(
               R"({"status":"internal_server_error","message":"An internal error occurred"})")
        << ServiceErrorReason::Other << "internal_server_error"
        << "An internal error occurred";
    QTest::newRow("busy not wrapped")
        << 503 << QByteArray(R"({"status":"system_busy","message":"Try later"})")
        << ServiceErrorReason::SystemBusy << "system_busy"
        << "Try later";
    QTest::newRow("detail as text")
        << 404 << QByteArray(R"({"detail":"Not Found"})") << ServiceErrorReason::Other << ""
        << "Not Found";
    QTest::newRow("status only") << 401 << QByteArray(R"({"detail":{"status":"invalid_api_key"}})")
                                 << ServiceErrorReason::InvalidApiKey << "invalid_api_key"
                                 << "";
    QTest::newRow("message on several lines")
        << 400
        << QByteArray("{\"detail\":{\"status\":\"voice_not_found\",\"message\":\"  No\\n\\tsuch"
                      "   voice \\r\\n\"}}")
        << ServiceErrorReason::VoiceNotFound << "voice_not_found"
        << "No such voice";
    QTest::newRow("plain text body")
        << 403 << QByteArray("Forbidden") << ServiceErrorReason::None << ""
        << "";
    QTest::newRow("HTML page") << 502 << QByteArray("<html><body>Bad Gateway</body></html>")
                               << ServiceErrorReason::None << ""
                               << "";
    QTest::newRow("empty body") << 500 << QByteArray() << ServiceErrorReason::None << ""
                                << "";
    QTest::newRow("JSON list at the top")
        << 400 << QByteArray(R"(["voice_not_found"])") << ServiceErrorReason::None << ""
        << "";
    QTest::newRow("numbers where texts belong")
        << 400 << QByteArray(R"({"detail":{"status":7,"message":{"a":1}}})")
        << ServiceErrorReason::Other << "7"
        << "";
}

void ServiceErrorsTest::parse() {
    QFETCH(int, httpStatus);
    QFETCH(QByteArray, body);
    QFETCH(ServiceErrorReason, reason);
    QFETCH(QString, status);
    QFETCH(QString, message);

    const ServiceError error = parseServiceError(httpStatus, body, kKey);
    QCOMPARE(error.httpStatus, httpStatus);
    QCOMPARE(error.reason, reason);
    QCOMPARE(error.status, status);
    QCOMPARE(error.message, message);
}

void ServiceErrorsTest::messageAndTip_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("keySource");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("tip");

    const QString file = QStringLiteral("/home/ada/.config/lyrane/api-key");
    QTest::newRow("invalid key read from a file")
        << detailBody("invalid_api_key", "Invalid API key") << file
        << " (invalid_api_key: Invalid API key)"
        << "TIP: the service does not accept the API key read from " + file +
               "; put a current key of your account there";
    QTest::newRow("invalid key read from the environment")
        << detailBody("invalid_api_key", "Invalid API key") << "ELEVENLABS_API_KEY"
        << " (invalid_api_key: Invalid API key)"
        << "TIP: the service does not accept the API key read from ELEVENLABS_API_KEY; put a "
           "current key of your account there";
    QTest::newRow("quota") << detailBody("quota_exceeded", "You have 0 credits remaining") << file
                           << " (quota_exceeded: You have 0 credits remaining)"
                           << "TIP: the account's credits are spent; run again once they are "
                              "renewed or topped up: finished clips are kept in the cache";
    QTest::newRow("format not allowed")
        << detailBody("output_format_not_allowed", "Only for Pro tier and above.") << file
        << " (output_format_not_allowed: Only for Pro tier and above.)"
        << "TIP: the account's plan does not allow this output format; use --format pcm_24000 "
           "or --format mp3_44100_128";
    QTest::newRow("voice not found")
        << detailBody("voice_not_found", "No such voice") << file
        << " (voice_not_found: No such voice)"
        << "TIP: the account has no such voice; --list-voices shows the ones it can use";
    QTest::newRow("text too long") << detailBody("max_character_limit_exceeded", "Too long") << file
                                   << " (max_character_limit_exceeded: Too long)"
                                   << "TIP: cue 12 is longer than the model takes in one "
                                      "request; shorten it or split it";
    QTest::newRow("too many at once")
        << detailBody("too_many_concurrent_requests", "Too many") << file
        << " (too_many_concurrent_requests: Too many)"
        << "TIP: the account's plan allows fewer requests at once; lower --jobs";
    QTest::newRow("busy") << detailBody("system_busy", "Heavy traffic") << file
                          << " (system_busy: Heavy traffic)"
                          << "TIP: the service is busy; try again later, or raise --retries";
    QTest::newRow("422")
        << QByteArray(R"({"detail":[{"loc":["body","voice_settings","stability"],)"
                      R"("msg":"Input should be less than or equal to 1","type":"x"}]})")
        << file << " (body.voice_settings.stability: Input should be less than or equal to 1)"
        << "";
    QTest::newRow("5xx") << QByteArray(R"({"status":"internal_server_error","message":"Oops"})")
                         << file << " (internal_server_error: Oops)"
                         << "";
    QTest::newRow("detail as text")
        << QByteArray(R"({"detail":"Not Found"})") << file << " (Not Found)"
        << "";
    QTest::newRow("status only") << QByteArray(R"({"detail":{"status":"system_busy"}})") << file
                                 << " (system_busy)"
                                 << "TIP: the service is busy; try again later, or raise --retries";
    QTest::newRow("no reason in the body") << QByteArray("Forbidden") << file << ""
                                           << "";
}

void ServiceErrorsTest::messageAndTip() {
    QFETCH(QByteArray, body);
    QFETCH(QString, keySource);
    QFETCH(QString, detail);
    QFETCH(QString, tip);

    const ServiceError error = parseServiceError(400, body, kKey);
    const QString message = serviceFailureMessage(kLayer, error, kKey);
    // The beginning is the one users and scripts have seen so far.
    QCOMPARE(message, QStringLiteral("TTS request failed: ") + kLayer + detail);
    const QString tipLine = serviceErrorTip(error.reason, {keySource, QStringLiteral("cue 12")});
    QCOMPARE(tipLine, tip);
    QVERIFY(!message.contains(kKey));
    QVERIFY(!tipLine.contains(kKey));
    QVERIFY(!tipLine.contains(QLatin1Char('\n')));
}

// A hostile or careless service must not be able to make lyrane print the key.
void ServiceErrorsTest::keyNeverInMessages_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("layer");

    const QByteArray key = kKey.toUtf8();
    QTest::newRow("key in the message")
        << QByteArray(R"({"detail":{"status":"invalid_api_key","message":"Key ')" + key +
                      R"(' is not valid"}})")
        << kLayer;
    QTest::newRow("key in the status")
        << QByteArray(R"({"detail":{"status":")" + key + R"(","message":"no"}})") << kLayer;
    QTest::newRow("key twice, escaped in JSON")
        << QByteArray(
               R"({"detail":{"status":"x","message":"\u0073k_3f9a0c1d2e4b5a6978ffee0011223344 )"
               R"(and )" +
               key + R"("}})")
        << kLayer;
    QTest::newRow("key in a 422 location")
        << QByteArray(R"({"detail":[{"loc":["header",")" + key + R"("],"msg":")" + key + R"("}]})")
        << kLayer;
    QTest::newRow("key as the detail text")
        << QByteArray(R"({"detail":")" + key + R"("})") << kLayer;
    QTest::newRow("key in a 5xx body")
        << QByteArray(R"({"status":"internal_server_error","message":"bad key )" + key + R"("})")
        << kLayer;
    QTest::newRow("key in the reason phrase")
        << QByteArray("Forbidden")
        << "Error transferring http://127.0.0.1/v1 - server replied: " + kKey;
    QTest::newRow("key in a page that is no error answer")
        << QByteArray("<html>\n<p>bad key " + key + "</p>\n</html>")
        << "Error transferring http://127.0.0.1/v1 - server replied: " + kKey;
    QTest::newRow("key with the padding it was read with")
        << QByteArray(R"({"detail":{"status":"invalid_api_key","message":"got )" + key + R"(\n"}})")
        << kLayer;
}

void ServiceErrorsTest::keyNeverInMessages() {
    QFETCH(QByteArray, body);
    QFETCH(QString, layer);

    // The key as read from a file, with its line end, is the same key.
    for (const QString& key : {kKey, kKey + QLatin1Char('\n')}) {
        const ServiceError error = parseServiceError(401, body, key);
        const QString message = serviceFailureMessage(layer, error, key);
        QVERIFY2(!message.contains(kKey), qPrintable(message));
        QVERIFY2(message.contains(QLatin1String("[API key]")), qPrintable(message));
        QVERIFY(!error.status.contains(kKey));
        QVERIFY(!error.message.contains(kKey));
        const QString refusal = refusalText(401, body, key) + lyrane::serviceText(layer, key);
        QVERIFY2(!refusal.contains(kKey) && !refusal.contains(QLatin1Char('\n')),
                 qPrintable(refusal));
        const QString tip = serviceErrorTip(
            error.reason, {QStringLiteral("ELEVENLABS_API_KEY"), QStringLiteral("the text")});
        QVERIFY(!tip.contains(kKey));
    }
}

void ServiceErrorsTest::withoutSecret_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("secret");
    QTest::addColumn<QString>("expected");

    QTest::newRow("every occurrence") << "a sk_abcdef b sk_abcdef"
                                      << "sk_abcdef"
                                      << "a [API key] b [API key]";
    QTest::newRow("padded secret") << "x sk_abcdef"
                                   << " sk_abcdef\n"
                                   << "x [API key]";
    QTest::newRow("no secret") << "plain text"
                               << ""
                               << "plain text";
    // A five-letter "key" is ordinary text, not a credential worth mangling messages for.
    QTest::newRow("too short to be a key") << "server replied: Forbidden"
                                           << "bidde"
                                           << "server replied: Forbidden";
    QTest::newRow("six characters") << "abcdef!"
                                    << "abcdef"
                                    << "[API key]!";
}

void ServiceErrorsTest::withoutSecret() {
    QFETCH(QString, text);
    QFETCH(QString, secret);
    QFETCH(QString, expected);
    QCOMPARE(lyrane::withoutSecret(text, secret), expected);
}

void ServiceErrorsTest::maximumConcurrentRequests_data() {
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("count");

    QTest::newRow("plain") << QByteArray("5") << 5;
    QTest::newRow("padded") << QByteArray(" 30 ") << 30;
    QTest::newRow("absent") << QByteArray() << -1;
    QTest::newRow("zero") << QByteArray("0") << -1;
    QTest::newRow("negative") << QByteArray("-2") << -1;
    QTest::newRow("text") << QByteArray("many") << -1;
    QTest::newRow("fraction") << QByteArray("2.5") << -1;
    QTest::newRow("overflow") << QByteArray("99999999999") << -1;
}

void ServiceErrorsTest::maximumConcurrentRequests() {
    QFETCH(QByteArray, header);
    QFETCH(int, count);
    QCOMPARE(parseMaximumConcurrentRequests(header), count);
}

QTEST_GUILESS_MAIN(ServiceErrorsTest)
#include "test_service_errors.moc"
