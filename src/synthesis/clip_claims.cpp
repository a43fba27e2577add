#include "synthesis/clip_claims.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace lyrane {

struct ClipClaims::Wait {
    ClipJob job;
    QString key;
    QPointer<QObject> context;
    std::function<void(ClaimOutcome, const QString&)> done;
    int delayMs = 0;
    bool announced = false;
};

namespace {

// When a claim stops holding: its own time and lifetime, else the bucket's time of writing.
QDateTime claimExpiry(const StoredClaim& claim, int defaultLifetime) {
    const QJsonObject body = QJsonDocument::fromJson(claim.body).object();
    QDateTime claimedAt =
        QDateTime::fromString(body.value(QStringLiteral("claimed_at")).toString(), Qt::ISODate);
    if (!claimedAt.isValid()) {
        claimedAt = QDateTime::fromString(claim.lastModified, Qt::ISODate);
    }
    if (!claimedAt.isValid()) {
        claimedAt = QDateTime::fromString(claim.lastModified, Qt::RFC2822Date);
    }
    if (!claimedAt.isValid()) {
        return QDateTime(); // nothing says when it was made: it holds no longer
    }
    const int lifetime = body.value(QStringLiteral("lifetime_seconds")).toInt(defaultLifetime);
    return claimedAt.addSecs(std::clamp(lifetime, 0, 24 * 3600));
}

QString claimWorker(const StoredClaim& claim) {
    const QString worker =
        QJsonDocument::fromJson(claim.body).object().value(QStringLiteral("worker")).toString();
    return worker.isEmpty() ? QObject::tr("another worker") : worker;
}

} // namespace

ClipClaims::ClipClaims(const S3ClaimStore& store, const ClipMirror& mirror, QString worker, Say say)
    : store(store), mirror(mirror), worker(std::move(worker)), say(std::move(say)) {}

ClipClaims::~ClipClaims() = default;

void ClipClaims::setPollDelays(int firstMs, int maxMs) {
    firstPollMs = std::max(1, firstMs);
    maxPollMs = std::max(firstPollMs, maxMs);
}

QString ClipClaims::claimKey(const ClipJob& job) const {
    return mirror.objectKey(job.key, QStringLiteral(".claim"));
}

QByteArray ClipClaims::body() const {
    const QJsonObject record{
        {QStringLiteral("worker"), worker},
        {QStringLiteral("claimed_at"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("lifetime_seconds"), kLifetimeSeconds},
    };
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}

void ClipClaims::acquire(const ClipJob& job, QObject* context,
                         std::function<void(ClaimOutcome, const QString&)> done) {
    if (unsupported) {
        postToEventLoop(context, [done] { done(ClaimOutcome::Synthesize, QString()); });
        return;
    }
    auto wait = std::make_shared<Wait>();
    wait->job = job;
    wait->key = claimKey(job);
    wait->context = context;
    wait->done = std::move(done);
    wait->delayMs = firstPollMs;
    claim(wait, QString());
}

void ClipClaims::claim(const std::shared_ptr<Wait>& wait, const QString& ifMatch) {
    writing.insert(wait->key);
    store.writeAsync(
        wait->key, body(), ifMatch, wait->context,
        [this, wait](ClaimWrite outcome, const QString& error) {
            writing.remove(wait->key);
            switch (outcome) {
            case ClaimWrite::Written:
                held.insert(wait->key);
                wait->done(ClaimOutcome::Synthesize, QString());
                return;
            case ClaimWrite::Unsupported:
                if (!unsupported) {
                    unsupported = true;
                    say(QObject::tr("The aws CLI cannot write conditionally (--if-none-match); "
                                    "clips are not claimed, so workers on other machines may "
                                    "pay for the same clip\n"));
                }
                wait->done(ClaimOutcome::Synthesize, QString());
                return;
            case ClaimWrite::Taken:
                check(wait);
                return;
            case ClaimWrite::Failed:
                wait->done(ClaimOutcome::Failed, error);
                return;
            }
        });
}

// Another claim is (or was) there: look at it.
void ClipClaims::check(const std::shared_ptr<Wait>& wait) {
    store.readAsync(wait->key, wait->context, [this, wait](const StoredClaim& stored) {
        if (!stored.ok) {
            wait->done(ClaimOutcome::Failed, stored.error);
            return;
        }
        if (!stored.found) {
            // Removed since: its clip is in the mirror, unless its worker gave it up.
            lookForClip(wait, [this, wait] { claim(wait, QString()); });
            return;
        }
        const QDateTime expiry = claimExpiry(stored, kLifetimeSeconds);
        if (!expiry.isValid() || expiry <= QDateTime::currentDateTimeUtc()) {
            say(QObject::tr("Claim on %1 by %2 has expired; taking it over\n")
                    .arg(wait->job.cacheFile(), claimWorker(stored)));
            // Only while the stale claim is unchanged: of two workers taking it over, one wins.
            claim(wait, stored.etag);
            return;
        }
        if (!wait->announced) {
            wait->announced = true;
            say(QObject::tr("Waiting for %1: %2 is making it\n")
                    .arg(wait->job.cacheFile(), claimWorker(stored)));
        }
        QTimer::singleShot(wait->delayMs, wait->context.data(), [this, wait] { poll(wait); });
    });
}

void ClipClaims::poll(const std::shared_ptr<Wait>& wait) {
    lookForClip(wait, [this, wait] {
        wait->delayMs = std::min(wait->delayMs * 2, maxPollMs);
        check(wait);
    });
}

void ClipClaims::lookForClip(const std::shared_ptr<Wait>& wait, std::function<void()> whenMissing) {
    mirror.existsAsync(
        wait->job.objectKey, wait->context,
        [wait, whenMissing = std::move(whenMissing)](bool ok, bool found, const QString& error) {
            if (!ok) {
                wait->done(ClaimOutcome::Failed, error);
            } else if (found) {
                wait->done(ClaimOutcome::InMirror, QString());
            } else {
                whenMissing();
            }
        });
}

void ClipClaims::release(const ClipJob& job, QObject* context, std::function<void()> done) {
    const QString key = claimKey(job);
    if (!held.contains(key)) {
        postToEventLoop(context, std::move(done));
        return;
    }
    // Held until removed: a run stopped meanwhile removes it with the others.
    store.removeAsync(key, context, [this, key, done](bool ok, const QString& error) {
        held.remove(key);
        if (!ok) {
            say(QObject::tr("Could not remove claim %1 (it expires in %2 minutes): %3\n")
                    .arg(key)
                    .arg(kLifetimeSeconds / 60)
                    .arg(error));
        }
        done();
    });
}

void ClipClaims::releaseAll() {
    // A write stopped midway may have reached the bucket: removed if it did, and is ours.
    if (!writing.isEmpty()) {
        const QStringList keys(writing.begin(), writing.end());
        writing.clear();
        store.removeOwnNow(keys, worker, 15000);
    }
    if (held.isEmpty()) {
        return;
    }
    const QStringList keys(held.begin(), held.end());
    held.clear();
    store.removeNow(keys, 15000);
}

} // namespace lyrane
