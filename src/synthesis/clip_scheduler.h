#pragma once

#include "synthesis/clip_source.h"
#include "synthesis/concurrency_window.h"
#include "synthesis/retry_policy.h"

#include <QEventLoop>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <deque>
#include <memory>
#include <vector>

class QTimer;

namespace lyrane {

// The step a cue's clip is at. A cue moves down the list, skipping what it does not need.
enum class ClipStep {
    Queued,
    WaitingForIdenticalClip, // an earlier cue is fetching the same clip
    Cache,                   // look in the local cache
    Mirror,                  // fetch from the mirror, or confirm the mirror holds a local clip
    Alignment,               // fetch a local clip's missing alignment from the mirror
    Claim,                   // claim the clip in the mirror, or wait for another worker's
    Synthesis,               // ask the service (again after a transient failure)
    Upload,                  // copy the clip to the mirror
    UploadAlignment,         // and its alignment
    Done,
};

// What happened to one cue's clip, for progress lines and reports.
struct ClipResult {
    ClipStep step = ClipStep::Queued;
    ClipTier source = ClipTier::Cache; // meaningful once the clip is local
    int attempts = 0;                  // synthesis requests sent
    int requeues = 0;                  // attempts refused for too many in flight, not retries
    bool local = false;                // the clip is in the local cache
    bool calledOff = false;            // dropped because the run stopped
    qint64 characterCost = -1;         // billed, from the service's answer; -1 when not said
    QString requestId;                 // the service's identifier of the paid answer
};

// A typed progress event; the run formats it in its own words.
enum class ClipEvent {
    CachedUnusable,     // error: the local clip cannot be used
    MirrorCheckFailed,  // error
    DownloadFailed,     // error
    DownloadedUnusable, // error: the mirror's clip cannot be used (it was not kept)
    Downloaded,
    Synthesizing, // the first request for the clip is being sent
    Retrying,     // delayMs, attempt, error
    SynthesisFailed,
    StoreFailed,
    UploadFailed,
    Uploaded,       // source tells a freshly made clip from a cached one
    Ready,          // the clip is in the local cache; source says where from
    WindowLowered,  // the service allows fewer requests at once; inFlight is the new limit
    CachedSetAside, // error: why the local clip cannot be used; it was renamed to setAsidePath
                    // and is fetched again
    // error: why the clip's alignment (in the cache, or just fetched from the mirror) cannot be
    // used; it is set aside and the clip asked for again with a new one
    AlignmentUnusable,
};

struct ClipNotice {
    ClipEvent event;
    int cue = 0;
    ClipTier source = ClipTier::Cache;
    QString error;
    int delayMs = 0;
    int attempt = 0;
    ServiceErrorReason reason = ServiceErrorReason::None; // SynthesisFailed, Retrying
    int inFlight = 0;                                     // WindowLowered
    QString setAsidePath = QString();                     // CachedSetAside
};

class ClipProgress {
public:
    virtual ~ClipProgress() = default;
    virtual void report(const ClipNotice& notice, const ClipJob& job) = 0;
};

struct SchedulerOptions {
    int window = 1; // cues in flight at once
    RetryPolicy retry;
    // After a download, ask the mirror once more before calling the clip ready (single-text
    // runs do).
    bool confirmDownloads = false;
};

// Brings each job's clip into the local cache, from the first tier that has it, with up to
// `window` cues in flight. Cues that share a clip fetch it once. After the first failure no
// new cue starts, cues waiting for a clip or a retry are dropped, and only that failure is
// reported; steps already in flight finish, so clips already paid for are kept.
class ClipScheduler : public QObject {
public:
    ClipScheduler(const ClipSource& source, QList<ClipJob> jobs, SchedulerOptions options,
                  ClipProgress& progress);
    ~ClipScheduler() override;

    // Runs an event loop until every cue is done or dropped; false after a failure or stop().
    bool run();
    // Ends everything in flight at once (requests, aws children, retry waits); starts nothing.
    void stop();
    // Starts nothing new: cues not yet sent to the service (and those waiting to retry) are
    // called off, while requests already sent finish, their clips kept and uploaded, for at most
    // `graceMs` (0: as long as they take) before stop(). Asked again, it stops at once.
    void drain(int graceMs);

    const QList<ClipJob>& jobs() const { return clipJobs; }
    const std::vector<ClipResult>& results() const { return states; }
    bool stopped() const { return interrupted; }

private:
    void advance(int cue);
    void fill();
    void finish(int cue);
    void callOff(int cue);
    void fail(int cue, ClipNotice notice);
    void notify(int cue, ClipEvent event, const QString& error = QString());
    void onSynthesized(int cue, const SynthesisResult& result);
    void enterCache(int cue);
    // After a local clip: its alignment when the job wants one and the cache lacks it.
    ClipStep afterLocalClip(int cue, ClipStep next);
    void finishUpload(int cue); // the clip (and its alignment) is in the mirror
    // Lowers the window to `limit` when that is lower, with a notice.
    void lowerWindow(int cue, int limit);
    // Puts a cue refused for too many requests in flight back in line, its slot freed.
    void requeue(int cue);

    const ClipSource& source;
    QList<ClipJob> clipJobs;
    SchedulerOptions options;
    ClipProgress& progress;

    std::vector<ClipResult> states;
    ConcurrencyWindow window;
    std::vector<char> inWindow;
    QHash<int, QTimer*> retryWaits;
    // Cues to send again before any new cue starts.
    std::deque<int> requeued;
    QSet<QString> busyFiles;
    QHash<QString, QList<int>> waitersByFile;
    // Parent of everything in flight: ending it ends requests and children alike. Each cue's
    // own operations go under a child of it, so one cue's can end while others go on.
    std::unique_ptr<QObject> operations;
    QHash<int, QObject*> cueOperations;
    QObject* operationsOf(int cue);
    // Ends the cue's operations in flight and drops it.
    void abandon(int cue);
    int next = 0;
    bool failed = false;
    bool interrupted = false;
    bool draining = false;
    bool filling = false;
    QEventLoop loop;
};

} // namespace lyrane
