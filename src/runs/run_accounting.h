#pragma once

#include "audio/timeline_plan.h"
#include "cache/cache_manager.h"
#include "runs/narration_outcome.h"
#include "runs/run_configuration.h"
#include "runs/run_report.h"
#include "synthesis/clip_scheduler.h"
#include "synthesis/clip_source.h"
#include "synthesis/cost_estimate.h"
#include "synthesis/speech_service.h"

#include <QList>
#include <QSet>
#include <QString>

namespace lyrane {

struct RunServices;

// The model the run's requests name.
QString runModelId(const RunConfiguration& config);

// The settings part of the run's report, from the run's own settings.
ReportSettings reportSettings(const RunConfiguration& config);

// Names clips as a real run would, from the local cache alone: no key, no mirror, no service,
// and no cache directory created. For estimates before anything is paid for.
class ClipNaming {
public:
    explicit ClipNaming(const QString& cacheDirectory);
    const ClipSource& source() const { return clips; }

private:
    class NoService final : public SpeechService {
    public:
        void synthesize(const TtsRequest& request, QObject* context,
                        std::function<void(const SynthesisResult&)> done) override;
    };
    CacheManager cache;
    NoService service;
    ClipSource clips;
};

// Sums what jobs cost with a model, one job at a time. A clip is paid for once: a job is counted
// cached when the local cache holds its clip or an earlier job makes the same one.
class CostCounter {
public:
    CostCounter(const ClipSource& source, const QString& modelId);
    // Counts the job; true when it was counted as cached.
    bool add(const ClipJob& job);
    const CostEstimate& estimate() const { return total; }

private:
    const ClipSource& source;
    CostEstimate total;
    QSet<QString> made;
};

// What the jobs cost with `modelId`, counted as CostCounter does.
CostEstimate estimateJobs(const QList<ClipJob>& jobs, const ClipSource& source,
                          const QString& modelId);

// Adds what the service billed for the job's clip, when this run made it.
void addBilled(Billing* billing, const ClipJob& job, const ClipResult& result);

// One cue's entry in the report, from its job and, when the run got that far, its result.
ReportCue reportCue(const ClipJob& job, const ClipResult* result, const QString& input,
                    qint64 number, qint64 startMs, qint64 endMs, const QString& speaker);

// A clip's place on the timeline as the report gives it.
ReportPlacement reportPlacement(const ClipPlacement& placement, qint64 desiredEndMs,
                                double speedUp);

// Writes --report when it was asked for; says so and returns false when it cannot.
bool writeReportIfAsked(const RunConfiguration& config, const RunReport& report, Console& console);

} // namespace lyrane
