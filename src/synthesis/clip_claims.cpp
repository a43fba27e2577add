#include "synthesis/clip_claims.h"

#include "cache/aws_runner.h"
#include "cache/printable_text.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cmath>
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

// When the claim was made: its own word, else the bucket's time of writing.
QDateTime claimTime(const QJsonObject& body, const StoredObject& claim, bool* readable) {
    const QJsonValue claimedAt = body.value(QStringLiteral("claimed_at"));
    if (!claimedAt.isUndefined()) {
        const QDateTime time = QDateTime::fromString(claimedAt.toString(), Qt::ISODateWithMs);
        *readable = time.isValid();
        return time;
    }
    QDateTime time = QDateTime::fromString(claim.lastModified, Qt::ISODateWithMs);
    if (!time.isValid()) {
        time = QDateTime::fromString(claim.lastModified, Qt::RFC2822Date);
    }
    return time;
}

QString claimWorker(const StoredObject& claim) {
    const QString worker = S3ClaimStore::claimWorker(claim.body);
    return worker.isEmpty() ? QObject::tr("another worker") : printableText(worker);
}

} // namespace

ClaimStanding judgeClaim(const StoredObject& claim, const QString& worker, const QDateTime& now) {
    QJsonParseError parsed;
    const QJsonDocument document = QJsonDocument::fromJson(claim.body, &parsed);
    if (parsed.error != QJsonParseError::NoError || !document.isObject()) {
        return ClaimStanding::Unreadable;
    }
    const QJsonObject body = document.object();
    if (!worker.isEmpty() && body.value(QStringLiteral("worker")).toString() == worker) {
        return ClaimStanding::Ours;
    }
    bool readable = true;
    const QDateTime claimedAt = claimTime(body, claim, &readable);
    const QJsonValue lifetimeValue = body.value(QStringLiteral("lifetime_seconds"));
    double lifetime = ClipClaims::kLifetimeSeconds;
    if (!lifetimeValue.isUndefined()) {
        lifetime = lifetimeValue.toDouble(-1);
        readable = readable && lifetime >= 0 && std::floor(lifetime) == lifetime;
    }
    if (!readable) {
        return ClaimStanding::Unreadable;
    }
    if (lifetime > ClipClaims::kLifetimeSeconds) {
        return ClaimStanding::Overlong;
    }
    if (!claimedAt.isValid()) {
        return ClaimStanding::Expired; // nothing says when it was made: it holds no longer
    }
    if (claimedAt > now.addSecs(ClipClaims::kClockSkewSeconds)) {
        return ClaimStanding::DatedAhead;
    }
    return claimedAt.addSecs(qint64(lifetime)) <= now ? ClaimStanding::Expired
                                                      : ClaimStanding::Live;
}

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
    store.writeAsync(wait->key, body(), ifMatch, wait->context,
                     [this, wait](ObjectWrite outcome, const QString& error) {
                         writing.remove(wait->key);
                         switch (outcome) {
                         case ObjectWrite::Written:
                             held.insert(wait->key);
                             wait->done(ClaimOutcome::Synthesize, QString());
                             return;
                         case ObjectWrite::Unsupported:
                             if (!unsupported) {
                                 unsupported = true;
                                 say(error +
                                     QObject::tr("; clips are not claimed, so workers on other "
                                                 "machines may pay for the same clip\n"));
                             }
                             wait->done(ClaimOutcome::Synthesize, QString());
                             return;
                         case ObjectWrite::Taken:
                             check(wait);
                             return;
                         case ObjectWrite::Failed:
                             wait->done(ClaimOutcome::Failed, error);
                             return;
                         }
                     });
}

// Another claim is (or was) there: look at it.
void ClipClaims::check(const std::shared_ptr<Wait>& wait) {
    store.readAsync(wait->key, wait->context, [this, wait](const StoredObject& stored) {
        if (!stored.ok) {
            wait->done(ClaimOutcome::Failed, stored.error);
            return;
        }
        if (!stored.found) {
            // Removed since: its clip is in the mirror, unless its worker gave it up.
            lookForClip(
                wait, [wait] { wait->done(ClaimOutcome::InMirror, QString()); },
                [this, wait] { claim(wait, QString()); });
            return;
        }
        weigh(wait, stored);
    });
}

void ClipClaims::weigh(const std::shared_ptr<Wait>& wait, const StoredObject& stored) {
    const ClaimStanding standing = judgeClaim(stored, worker, QDateTime::currentDateTimeUtc());
    if (standing == ClaimStanding::Ours) {
        // Our own write, answered as refused after a retry that followed its success.
        held.insert(wait->key);
        wait->done(ClaimOutcome::Synthesize, QString());
        return;
    }
    const auto clipThere = [this, wait] {
        // A claim beside its clip is moot, whoever left it (a worker stopped between the two).
        store.removeAsync(wait->key, wait->context, [wait](bool, const QString&) {
            wait->done(ClaimOutcome::InMirror, QString());
        });
    };
    lookForClip(wait, clipThere, [this, wait, stored, standing] {
        const QString file = wait->job.cacheFile();
        const QString by = claimWorker(stored);
        switch (standing) {
        case ClaimStanding::Live: {
            if (!wait->announced) {
                wait->announced = true;
                say(QObject::tr("Waiting for %1: %2 is making it\n").arg(file, by));
            }
            const int delayMs = wait->delayMs;
            wait->delayMs = std::min(delayMs * 2, maxPollMs);
            QTimer::singleShot(delayMs, wait->context.data(), [this, wait] { check(wait); });
            return;
        }
        case ClaimStanding::Expired:
            say(QObject::tr("Claim on %1 by %2 has expired; taking it over\n").arg(file, by));
            break;
        case ClaimStanding::DatedAhead:
            say(QObject::tr("Claim on %1 by %2 is dated ahead of this machine's clock; taking "
                            "it over\n")
                    .arg(file, by));
            break;
        case ClaimStanding::Overlong:
            say(QObject::tr("Claim on %1 by %2 is to hold longer than %3 seconds; taking it "
                            "over\n")
                    .arg(file, by)
                    .arg(kLifetimeSeconds));
            break;
        case ClaimStanding::Unreadable:
        case ClaimStanding::Ours:
            say(QObject::tr("Claim on %1 cannot be read; taking it over\n").arg(file));
            break;
        }
        // Only while the stale claim is unchanged: of two workers taking it over, one wins.
        claim(wait, stored.etag);
    });
}

void ClipClaims::lookForClip(const std::shared_ptr<Wait>& wait, std::function<void()> whenFound,
                             std::function<void()> whenMissing) {
    mirror.existsAsync(
        wait->job.objectKey, wait->context,
        [wait, whenFound = std::move(whenFound),
         whenMissing = std::move(whenMissing)](bool ok, bool found, const QString& error) {
            if (!ok) {
                wait->done(ClaimOutcome::Failed, error);
            } else if (found) {
                whenFound();
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
