#include "synthesis/clip_scheduler.h"

#include "synthesis/clip_claims.h"

#include <QFile>
#include <QTimer>

#include <algorithm>

#include <utility>

namespace lyrane {

ClipScheduler::ClipScheduler(const ClipSource& source, QList<ClipJob> jobs,
                             SchedulerOptions options, ClipProgress& progress)
    : source(source), clipJobs(std::move(jobs)), options(std::move(options)), progress(progress),
      states(static_cast<size_t>(clipJobs.size())), window(this->options.window),
      inWindow(static_cast<size_t>(clipJobs.size()), 0), operations(std::make_unique<QObject>()) {}

ClipScheduler::~ClipScheduler() = default;

bool ClipScheduler::run() {
    QTimer::singleShot(0, this, [this] { fill(); });
    loop.exec();
    if (source.claims()) {
        source.claims()->releaseAll(); // those of clips that failed
    }
    return !failed && !interrupted && !draining;
}

void ClipScheduler::stop() {
    if (interrupted) {
        return;
    }
    interrupted = true;
    // Ends replies in flight, aws children and retry waits with their callbacks.
    cueOperations.clear();
    operations.reset();
    retryWaits.clear();
    for (int cue = 0; cue < clipJobs.size(); ++cue) {
        if (inWindow[size_t(cue)]) {
            callOff(cue);
        }
    }
    for (const int cue : std::exchange(requeued, {})) {
        states[size_t(cue)].calledOff = true;
        states[size_t(cue)].step = ClipStep::Done;
    }
    waitersByFile.clear();
    busyFiles.clear();
    if (source.claims()) {
        source.claims()->releaseAll();
    }
    loop.quit();
}

void ClipScheduler::drain(int graceMs) {
    if (interrupted) {
        return;
    }
    if (draining) {
        stop();
        return;
    }
    draining = true;
    const QHash<int, QTimer*> waiting = std::exchange(retryWaits, {});
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
        delete it.value();
        callOff(it.key());
    }
    for (const int cue : std::exchange(requeued, {})) {
        callOff(cue);
    }
    for (int cue = 0; cue < clipJobs.size(); ++cue) {
        const ClipStep step = states[size_t(cue)].step;
        // Only what was paid for goes on: a request sent, then its clip's upload. Looks in the
        // cache and the mirror, and waits on other workers' claims, end now.
        const bool paid = step == ClipStep::Synthesis || step == ClipStep::Upload ||
                          step == ClipStep::UploadAlignment;
        if (inWindow[size_t(cue)] && !paid) {
            abandon(cue);
        }
    }
    if (graceMs > 0) {
        QTimer::singleShot(graceMs, this, [this] { stop(); });
    }
    if (window.inFlight() == 0) {
        loop.quit();
    }
}

// Starts queued cues while the window has room. Steps that finish at once come back here
// through finish(); the outer call fills the freed slot, so a long fully cached file does not
// nest one call per cue.
void ClipScheduler::fill() {
    if (filling) {
        return;
    }
    filling = true;
    while (!failed && !interrupted && !draining && window.hasRoom() &&
           (!requeued.empty() || next < clipJobs.size())) {
        int cue = 0;
        if (!requeued.empty()) {
            cue = requeued.front(); // still at Synthesis
            requeued.pop_front();
        } else {
            cue = next++;
        }
        window.enter();
        inWindow[size_t(cue)] = 1;
        advance(cue);
    }
    filling = false;
    if (window.inFlight() == 0) {
        loop.quit();
    }
}

void ClipScheduler::notify(int cue, ClipEvent event, const QString& error) {
    ClipNotice notice;
    notice.event = event;
    notice.cue = cue;
    notice.source = states[size_t(cue)].source;
    notice.error = error;
    progress.report(notice, clipJobs[cue]);
}

void ClipScheduler::enterCache(int cue) {
    busyFiles.insert(clipJobs[cue].cacheFile());
    states[size_t(cue)].step = ClipStep::Cache;
    advance(cue);
}

ClipStep ClipScheduler::afterLocalClip(int cue, ClipStep next) {
    const ClipJob& job = clipJobs[cue];
    if (!job.wantsAlignment()) {
        return next;
    }
    QString error;
    if (source.hasUsableAlignment(job, &error)) {
        return next;
    }
    // One that does not read back, or runs past its clip, is set aside like a damaged clip.
    if (QFile::exists(job.alignmentPath) && source.setAlignmentAside(job)) {
        notify(cue, ClipEvent::AlignmentUnusable, error);
        return ClipStep::Synthesis;
    }
    return source.hasMirror() ? ClipStep::Alignment : ClipStep::Synthesis;
}

// The one place a cue moves on: each step either moves to the next at once or starts an
// asynchronous operation whose answer sets the next step and comes back here.
void ClipScheduler::advance(int cue) {
    ClipResult& state = states[size_t(cue)];
    const ClipJob& job = clipJobs[cue];
    QObject* context = operationsOf(cue);
    if (state.calledOff) {
        return; // an answer that came after the cue was dropped
    }
    // Draining, nothing is asked of the service any more, nor waited for elsewhere.
    if (draining && (state.step == ClipStep::Synthesis || state.step == ClipStep::Claim ||
                     state.step == ClipStep::WaitingForIdenticalClip)) {
        callOff(cue);
        finish(cue);
        return;
    }

    switch (state.step) {
    case ClipStep::Queued:
        if (busyFiles.contains(job.cacheFile())) {
            // The same clip is already being fetched for an earlier cue: never pay twice.
            state.step = ClipStep::WaitingForIdenticalClip;
            waitersByFile[job.cacheFile()].append(cue);
            return;
        }
        enterCache(cue);
        return;

    case ClipStep::WaitingForIdenticalClip:
        enterCache(cue);
        return;

    case ClipStep::Cache: {
        if (!source.isCached(job)) {
            state.step = source.hasMirror() ? ClipStep::Mirror : ClipStep::Synthesis;
            advance(cue);
            return;
        }
        QString error;
        if (!source.checkCached(job, &error)) {
            // One bad file must not block every later run: it is kept under another name and
            // the clip is fetched again. Only when it cannot be moved does the run stop.
            QString aside;
            if (!source.setAside(job, &aside)) {
                fail(cue, {ClipEvent::CachedUnusable, cue, state.source, error});
                return;
            }
            ClipNotice notice{ClipEvent::CachedSetAside, cue, state.source, error};
            notice.setAsidePath = aside;
            progress.report(notice, job);
            state.step = source.hasMirror() ? ClipStep::Mirror : ClipStep::Synthesis;
            advance(cue);
            return;
        }
        state.source = ClipTier::Cache;
        state.local = true;
        state.step = afterLocalClip(cue, source.hasMirror() ? ClipStep::Mirror : ClipStep::Done);
        advance(cue);
        return;
    }

    case ClipStep::Mirror:
        if (state.local) {
            source.clipMirror().existsAsync(
                job.objectKey, context, [this, cue](bool ok, bool found, const QString& error) {
                    if (!ok) {
                        fail(cue, {ClipEvent::MirrorCheckFailed, cue, states[size_t(cue)].source,
                                   error});
                        return;
                    }
                    states[size_t(cue)].step = found ? ClipStep::Done : ClipStep::Upload;
                    advance(cue);
                });
            return;
        }
        source.clipMirror().downloadIfExistsAsync(
            job.objectKey, job.path, context,
            [this, cue](bool ok, bool downloaded, const QString& error) {
                ClipResult& state = states[size_t(cue)];
                if (!ok) {
                    fail(cue, {ClipEvent::DownloadFailed, cue, state.source, error});
                    return;
                }
                if (!downloaded) {
                    state.step = source.claims() ? ClipStep::Claim : ClipStep::Synthesis;
                    advance(cue);
                    return;
                }
                QString checkError;
                if (!source.checkCached(clipJobs[cue], &checkError)) {
                    // A bad object must not become a trusted local clip.
                    QFile::remove(clipJobs[cue].path);
                    fail(cue, {ClipEvent::DownloadedUnusable, cue, state.source, checkError});
                    return;
                }
                state.source = ClipTier::Mirror;
                state.local = true;
                notify(cue, ClipEvent::Downloaded);
                state.step = afterLocalClip(cue, options.confirmDownloads ? ClipStep::Mirror
                                                                          : ClipStep::Done);
                advance(cue);
            });
        return;

    case ClipStep::Alignment:
        // The alignment travels with its clip; a clip the mirror holds without one is made
        // again with it.
        source.clipMirror().downloadIfExistsAsync(
            job.alignmentObjectKey, job.alignmentPath, context,
            [this, cue](bool ok, bool downloaded, const QString& error) {
                ClipResult& state = states[size_t(cue)];
                if (!ok) {
                    fail(cue, {ClipEvent::DownloadFailed, cue, state.source, error});
                    return;
                }
                QString checkError;
                if (downloaded && !source.hasUsableAlignment(clipJobs[cue], &checkError)) {
                    // A damaged object in the shared bucket is not used, and this run's own
                    // takes its place.
                    QFile::remove(clipJobs[cue].alignmentPath);
                    notify(cue, ClipEvent::AlignmentUnusable, checkError);
                    state.step = ClipStep::Synthesis;
                    advance(cue);
                    return;
                }
                state.step = downloaded ? (state.source == ClipTier::Mirror ? ClipStep::Done
                                                                            : ClipStep::Mirror)
                                        : ClipStep::Synthesis;
                advance(cue);
            });
        return;

    case ClipStep::Claim:
        source.claims()->acquire(
            job, context, [this, cue](ClaimOutcome outcome, const QString& error) {
                ClipResult& state = states[size_t(cue)];
                if (outcome == ClaimOutcome::Failed) {
                    fail(cue, {ClipEvent::MirrorCheckFailed, cue, state.source, error});
                    return;
                }
                state.step =
                    outcome == ClaimOutcome::InMirror ? ClipStep::Mirror : ClipStep::Synthesis;
                advance(cue);
            });
        return;

    case ClipStep::Synthesis:
        if (state.attempts == 0) {
            notify(cue, ClipEvent::Synthesizing);
        }
        ++state.attempts;
        source.speechService().synthesize(
            job.request, context,
            [this, cue](const SynthesisResult& result) { onSynthesized(cue, result); });
        return;

    case ClipStep::Upload:
        source.clipMirror().uploadFileAsync(
            job.objectKey, job.path, job.contentType, context,
            [this, cue](bool ok, const QString& error) {
                if (!ok) {
                    fail(cue, {ClipEvent::UploadFailed, cue, states[size_t(cue)].source, error});
                    return;
                }
                const ClipJob& uploaded = clipJobs[cue];
                const bool aligned =
                    !uploaded.alignmentObjectKey.isEmpty() && QFile::exists(uploaded.alignmentPath);
                if (aligned) {
                    states[size_t(cue)].step = ClipStep::UploadAlignment;
                    advance(cue);
                    return;
                }
                notify(cue, ClipEvent::Uploaded);
                finishUpload(cue);
            });
        return;

    case ClipStep::UploadAlignment:
        source.clipMirror().uploadFileAsync(
            job.alignmentObjectKey, job.alignmentPath, QStringLiteral("application/json"), context,
            [this, cue](bool ok, const QString& error) {
                if (!ok) {
                    fail(cue, {ClipEvent::UploadFailed, cue, states[size_t(cue)].source, error});
                    return;
                }
                notify(cue, ClipEvent::Uploaded);
                finishUpload(cue);
            });
        return;

    case ClipStep::Done:
        notify(cue, ClipEvent::Ready);
        finish(cue);
        return;
    }
}

void ClipScheduler::finishUpload(int cue) {
    states[size_t(cue)].step = ClipStep::Done;
    if (source.claims()) {
        // The clip is in the mirror: workers waiting for it find it there.
        source.claims()->release(clipJobs[cue], operations.get(), [this, cue] { advance(cue); });
        return;
    }
    advance(cue);
}

void ClipScheduler::lowerWindow(int cue, int limit) {
    const int lowered = std::max(1, limit);
    if (lowered >= window.limit()) {
        return;
    }
    window.setLimit(lowered);
    ClipNotice notice{ClipEvent::WindowLowered, cue, states[size_t(cue)].source, QString()};
    notice.inFlight = lowered;
    progress.report(notice, clipJobs[cue]);
}

void ClipScheduler::requeue(int cue) {
    ++states[size_t(cue)].requeues;
    if (inWindow[size_t(cue)]) {
        inWindow[size_t(cue)] = 0;
        window.leave();
    }
    requeued.push_back(cue);
    fill();
}

void ClipScheduler::onSynthesized(int cue, const SynthesisResult& result) {
    ClipResult& state = states[size_t(cue)];
    if (draining && !result.audio) {
        callOff(cue); // no retry once the run stops
        finish(cue);
        return;
    }
    const int limitBefore = window.limit();
    // The service's own count is the cap; without it each refusal takes one off.
    if (result.maximumConcurrentRequests > 0) {
        lowerWindow(cue, result.maximumConcurrentRequests);
    }
    if (result.reason == ServiceErrorReason::TooManyConcurrentRequests && limitBefore > 1 &&
        !failed && !interrupted) {
        // More in flight than the plan allows: fewer for the rest of the run, and this cue
        // goes again as soon as there is room, without spending a retry.
        if (result.maximumConcurrentRequests <= 0) {
            lowerWindow(cue, limitBefore - 1);
        }
        requeue(cue);
        return;
    }
    switch (decideRetry(result, state.attempts - state.requeues, options.retry)) {
    case RetryDecision::RetryAfterDelay:
        if (!failed && !interrupted) {
            ClipNotice notice{ClipEvent::Retrying, cue, state.source, result.error};
            notice.reason = result.reason;
            notice.attempt = state.attempts - state.requeues;
            notice.delayMs = options.retry.delayMs
                                 ? options.retry.delayMs(notice.attempt, result.retryAfterMs)
                                 : retryDelayMs(notice.attempt, result.retryAfterMs);
            progress.report(notice, clipJobs[cue]);
            auto* timer = new QTimer(operations.get());
            timer->setSingleShot(true);
            retryWaits.insert(cue, timer);
            connect(timer, &QTimer::timeout, this, [this, cue, timer] {
                retryWaits.remove(cue);
                timer->deleteLater();
                if (failed) {
                    states[size_t(cue)].calledOff = true;
                    finish(cue);
                    return;
                }
                advance(cue); // still at Synthesis: the next attempt
            });
            timer->start(notice.delayMs);
            return;
        }
        break;
    case RetryDecision::GiveUp:
        break;
    case RetryDecision::Succeeded: {
        QString error;
        const WordAlignment* alignment = result.alignment ? &*result.alignment : nullptr;
        if (!source.store(clipJobs[cue], *result.audio, &error, alignment)) {
            fail(cue, {ClipEvent::StoreFailed, cue, state.source, error});
            return;
        }
        state.source = ClipTier::Service;
        state.local = true;
        state.characterCost = result.characterCost;
        state.requestId = result.requestId;
        state.step = source.hasMirror() ? ClipStep::Upload : ClipStep::Done;
        advance(cue);
        return;
    }
    }
    // After another cue's failure this reports nothing: a vetoed retry is no failure of its own.
    ClipNotice notice{ClipEvent::SynthesisFailed, cue, state.source, result.error};
    notice.reason = result.reason;
    fail(cue, notice);
}

// Only the first failure is reported: what fails after it while the steps in flight finish is
// almost always the same cause again.
void ClipScheduler::fail(int cue, ClipNotice notice) {
    if (states[size_t(cue)].calledOff) {
        return;
    }
    if (draining) {
        // What went wrong while the run stops is not the run's failure: the cue is dropped.
        callOff(cue);
        finish(cue);
        return;
    }
    if (!failed) {
        progress.report(notice, clipJobs[cue]);
        failed = true;
        // Cues waiting to retry would only wait to be dropped.
        const QHash<int, QTimer*> waiting = std::exchange(retryWaits, {});
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            delete it.value();
            states[size_t(it.key())].calledOff = true;
            finish(it.key());
        }
        for (const int waiting : std::exchange(requeued, {})) {
            states[size_t(waiting)].calledOff = true;
            finish(waiting);
        }
    }
    finish(cue);
}

QObject* ClipScheduler::operationsOf(int cue) {
    QObject*& context = cueOperations[cue];
    if (!context) {
        context = new QObject(operations.get());
    }
    return context;
}

void ClipScheduler::abandon(int cue) {
    delete cueOperations.take(cue);
    const QString file = clipJobs[cue].cacheFile();
    callOff(cue);
    waitersByFile.remove(file);
    busyFiles.remove(file);
}

void ClipScheduler::callOff(int cue) {
    ClipResult& state = states[size_t(cue)];
    state.calledOff = true;
    state.step = ClipStep::Done;
    if (inWindow[size_t(cue)]) {
        inWindow[size_t(cue)] = 0;
        window.leave();
    }
}

void ClipScheduler::finish(int cue) {
    const QString file = clipJobs[cue].cacheFile();
    states[size_t(cue)].step = ClipStep::Done;
    if (QObject* context = cueOperations.take(cue)) {
        context->deleteLater(); // this may be its own answer's context
    }
    if (inWindow[size_t(cue)]) {
        inWindow[size_t(cue)] = 0;
        window.leave();
    }
    // Cues that waited for this clip now find it in the cache.
    const QList<int> waiting = waitersByFile.take(file);
    busyFiles.remove(file);
    for (const int waiter : waiting) {
        if (failed || interrupted || draining) {
            callOff(waiter);
        } else {
            enterCache(waiter);
        }
    }
    fill();
}

} // namespace lyrane
