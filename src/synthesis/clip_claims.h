#pragma once

#include "cache/clip_mirror.h"
#include "cache/s3_claims.h"
#include "synthesis/clip_source.h"

#include <QDateTime>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>

class QObject;

namespace lyrane {

// What a claim on a clip came to.
enum class ClaimOutcome {
    Synthesize, // the clip is ours to make (or claims cannot be written: as without them)
    InMirror,   // another worker made it meanwhile: take it from the mirror
    Failed,
};

// How a claim found in the bucket stands. Only a live claim of another worker is waited for;
// one that cannot hold (expired, dated ahead of the clock, promising more than a run's
// lifetime, unreadable) is taken over.
enum class ClaimStanding { Live, Ours, Expired, DatedAhead, Overlong, Unreadable };

// Judges `claim` at `now` for the run named `worker`.
ClaimStanding judgeClaim(const StoredObject& claim, const QString& worker, const QDateTime& now);

// Claims on the clips a run is about to pay for, so that workers on other machines sharing
// the mirror wait for a clip instead of paying for it again. A claim is `<key>.claim` beside
// the clip: the worker's name, the time and a lifetime; one that cannot hold is taken over.
class ClipClaims {
public:
    using Say = std::function<void(const QString& line)>;

    ClipClaims(const S3ClaimStore& store, const ClipMirror& mirror, QString worker, Say say);
    ~ClipClaims();

    // Claims the job's clip, or waits for it while another worker holds a live claim.
    void acquire(const ClipJob& job, QObject* context,
                 std::function<void(ClaimOutcome, const QString& error)> done);
    // Removes this run's claim on the job's clip, if it holds one; `done` is called either way.
    void release(const ClipJob& job, QObject* context, std::function<void()> done);
    // Removes every claim still held, at once: after a failure or a stop.
    void releaseAll();

    // Waits between looks at a clip being made elsewhere: `firstMs`, doubling up to `maxMs`.
    void setPollDelays(int firstMs, int maxMs);
    static constexpr int kLifetimeSeconds = 600;
    // How far ahead of this machine's clock another's may run before its claims are doubted.
    static constexpr int kClockSkewSeconds = 60;

private:
    struct Wait;
    void claim(const std::shared_ptr<Wait>& wait, const QString& ifMatch);
    void check(const std::shared_ptr<Wait>& wait);
    void weigh(const std::shared_ptr<Wait>& wait, const StoredObject& stored);
    // Goes on with `whenFound` when the clip is in the mirror, else with `whenMissing`.
    void lookForClip(const std::shared_ptr<Wait>& wait, std::function<void()> whenFound,
                     std::function<void()> whenMissing);
    QByteArray body() const;
    QString claimKey(const ClipJob& job) const;

    const S3ClaimStore& store;
    const ClipMirror& mirror;
    QString worker;
    Say say;
    QSet<QString> held;
    QSet<QString> writing; // claims being written: a stop may have cut them short
    bool unsupported = false;
    int firstPollMs = 1000;
    int maxPollMs = 15000;
};

} // namespace lyrane
