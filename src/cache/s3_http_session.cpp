#include "cache/s3_http_session.h"

#include "cache/aws_runner.h"
#include "cache/printable_text.h"
#include "cache/s3_answers.h"

#include <QFileDevice>
#include <QPointer>
#include <QTimer>

#include <utility>

namespace lyrane {

namespace {

constexpr int kAttempts = 3;
constexpr int kFirstRetryMs = 200;
// Asked again this long before they expire; used until a minute before.
constexpr int kRefreshAheadSeconds = 600;
constexpr int kLastUseSeconds = 60;
constexpr int kRefreshSpacingSeconds = 30;

const QByteArray kEmptyPayloadHash =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

} // namespace

struct S3HttpSession::Attempt {
    S3Call call;
    QPointer<QObject> context;
    bool hadContext = false;
    std::function<void(const HttpAnswer&)> done;
    int number = 0;
    bool followedRegion = false;
};

S3HttpSession::S3HttpSession(QString aws, AwsProfile profile, S3Addressing addressing,
                             int timeoutMs)
    : aws(std::move(aws)), credentials(std::move(profile.credentials)),
      addressing(std::move(addressing)), timeoutMs(timeoutMs) {}

S3HttpSession::~S3HttpSession() = default;

QString S3HttpSession::failure(const HttpAnswer& answer) {
    if (answer.timedOut) {
        return QObject::tr("S3 request timed out");
    }
    if (!answer.answered) {
        return QObject::tr("S3 request failed: %1").arg(printableText(answer.error, 300));
    }
    const S3Error error = readS3Error(answer.body);
    QString text = QObject::tr("S3 answered HTTP %1").arg(answer.status);
    if (!error.code.isEmpty()) {
        text += QStringLiteral(" (%1)").arg(printableText(error.code, 60));
    }
    if (!error.message.isEmpty()) {
        text += QStringLiteral(": ") + printableText(error.message, 300);
    }
    return text;
}

bool S3HttpSession::isAbsent(const HttpAnswer& answer) {
    if (!answer.answered || answer.status != 404) {
        return false;
    }
    // A missing bucket is a failure to report, not an absent object.
    const QString code = readS3Error(answer.body).code;
    return code.isEmpty() || code == QLatin1String("NoSuchKey") ||
           code == QLatin1String("NotFound");
}

HttpRequest S3HttpSession::request(const S3Call& call) const {
    HttpRequest request;
    request.method = call.method;
    request.url =
        call.key.isNull() ? addressing.bucketUrl(call.query) : addressing.objectUrl(call.key);
    request.headers = call.headers;
    request.headers.append("x-amz-content-sha256: " +
                           (call.payloadHash.isEmpty() ? kEmptyPayloadHash : call.payloadHash));
    if (!credentials.sessionToken.isEmpty()) {
        request.headers.append("x-amz-security-token: " + credentials.sessionToken);
    }
    request.awsSigV4 = "aws:amz:" + addressing.region().toUtf8() + ":s3";
    request.accessKeyId = credentials.accessKeyId;
    request.secretAccessKey = credentials.secretAccessKey;
    request.body = call.body;
    request.sink = call.sink;
    request.keepBytes = call.keepBytes;
    return request;
}

void S3HttpSession::send(S3Call call, QObject* context,
                         std::function<void(const HttpAnswer&)> done) {
    auto pending = std::make_shared<Attempt>();
    pending->call = std::move(call);
    pending->context = context;
    pending->hadContext = context != nullptr;
    pending->done = std::move(done);
    attempt(pending);
}

void S3HttpSession::attempt(const std::shared_ptr<Attempt>& pending) {
    if (pending->hadContext && !pending->context) {
        return;
    }
    ++pending->number;
    // Each attempt sends the whole body and keeps only its own answer.
    if (pending->call.body) {
        pending->call.body->seek(0);
    }
    if (pending->call.sink) {
        pending->call.sink->resize(0);
        pending->call.sink->seek(0);
    }
    whenCredentialsReady(pending->context.data(), [this, pending](const QString& error) {
        if (!error.isEmpty()) {
            HttpAnswer refused;
            refused.error = error;
            postToEventLoop(pending->context.data(),
                            [pending, refused] { pending->done(refused); });
            return;
        }
        transfers.send(request(pending->call), timeoutMs, pending->context.data(),
                       [this, pending](const HttpAnswer& answer) { answered(pending, answer); });
    });
}

void S3HttpSession::answered(const std::shared_ptr<Attempt>& pending, const HttpAnswer& answer) {
    const QString region = QString::fromLatin1(answer.headers.value("x-amz-bucket-region"));
    const bool elsewhere = answer.answered && !region.isEmpty() && region != addressing.region() &&
                           (answer.status == 301 || answer.status == 307 || answer.status == 400);
    if (elsewhere && !pending->followedRegion) {
        // The bucket lives in another region than the profile names: sign for that one.
        pending->followedRegion = true;
        addressing.moveToRegion(region);
        --pending->number;
        attempt(pending);
        return;
    }
    const bool momentary = (!answer.answered && !answer.timedOut) ||
                           (answer.answered && answer.status >= 500 && answer.status != 501);
    if (momentary && pending->number < kAttempts) {
        int delayMs = kFirstRetryMs;
        for (int n = 1; n < pending->number; ++n) {
            delayMs *= 4;
        }
        QTimer::singleShot(delayMs, &refreshing, [this, pending] { attempt(pending); });
        return;
    }
    pending->done(answer);
}

QList<HttpAnswer> S3HttpSession::sendNow(const QList<S3Call>& calls, int waitMs) {
    QList<HttpRequest> requests;
    for (const S3Call& call : calls) {
        requests.append(request(call));
    }
    return CurlTransfers::sendNow(requests, waitMs);
}

bool S3HttpSession::credentialsUsable() const {
    return !credentials.expiration.isValid() ||
           QDateTime::currentDateTimeUtc() < credentials.expiration.addSecs(-kLastUseSeconds);
}

void S3HttpSession::refreshIfDue() {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!credentials.expiration.isValid() || refreshRunning ||
        now < credentials.expiration.addSecs(-kRefreshAheadSeconds) ||
        (lastRefresh.isValid() && lastRefresh.secsTo(now) < kRefreshSpacingSeconds)) {
        return;
    }
    refreshRunning = true;
    lastRefresh = now;
    refreshCredentialsAsync(
        aws, timeoutMs, &refreshing,
        [this](const std::optional<AwsCredentials>& fresh, const QString& error) {
            refreshRunning = false;
            if (fresh) {
                credentials = *fresh;
                refreshError.clear();
            } else {
                refreshError = error;
            }
            for (const auto& go : std::exchange(waitingForCredentials, {})) {
                go();
            }
        });
}

void S3HttpSession::whenCredentialsReady(QObject* context,
                                         std::function<void(const QString& error)> go) {
    refreshIfDue();
    if (credentialsUsable()) {
        go(QString());
        return;
    }
    const QString expired =
        refreshError.isEmpty() ? QObject::tr("S3 credentials have expired") : refreshError;
    if (!refreshRunning) {
        go(expired);
        return;
    }
    QPointer<QObject> guard(context);
    const bool hadContext = context != nullptr;
    waitingForCredentials.push_back([this, guard, hadContext, go] {
        if (hadContext && !guard) {
            return;
        }
        go(credentialsUsable()
               ? QString()
               : (refreshError.isEmpty() ? QObject::tr("S3 credentials have expired")
                                         : refreshError));
    });
}

} // namespace lyrane
