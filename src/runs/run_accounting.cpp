#include "runs/run_accounting.h"

#include "runs/run_preparation.h"
#include "synthesis/account_client.h"
#include "synthesis/models.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>
#include <QSet>

#include <algorithm>

namespace lyrane {

QString runModelId(const RunConfiguration& config) {
    return config.synthesis.voiceSettings.modelId;
}

ReportSettings reportSettings(const RunConfiguration& config) {
    ReportSettings settings;
    settings.voice = config.synthesis.voice;
    settings.voiceId = ElevenLabsClient::voiceIdForName(config.synthesis.voice);
    settings.format = config.synthesis.outputFormat;
    settings.speed = config.synthesis.speed;
    settings.voiceSettings = config.synthesis.voiceSettings;
    for (const VoiceMap::Entry& entry : config.speakers.voices.entries()) {
        settings.voiceMap.append({entry.speaker, entry.voice});
    }
    return settings;
}

ClipNaming::ClipNaming(const QString& cacheDirectory)
    : cache(cacheDirectory, CacheManager::Directory::LookOnly), clips(cache, nullptr, service) {}

void ClipNaming::NoService::synthesize(const TtsRequest& /*request*/, QObject* context,
                                       std::function<void(const SynthesisResult&)> done) {
    SynthesisResult result;
    result.error = QObject::tr("no speech service in this mode");
    QObject* target = context ? context : QCoreApplication::instance();
    QMetaObject::invokeMethod(
        target, [done = std::move(done), result] { done(result); }, Qt::QueuedConnection);
}

CostCounter::CostCounter(const ClipSource& source, const QString& modelId) : source(source) {
    total.modelId = modelId;
}

bool CostCounter::add(const ClipJob& job) {
    const QString file = job.cacheFile();
    // A clip that must come with its alignment and has none is asked for again.
    const bool cached =
        made.contains(file) ||
        (source.isCached(job) && (!job.wantsAlignment() || QFileInfo::exists(job.alignmentPath)));
    made.insert(file);
    total.addCue(billableCharacters(job.request.text), cached);
    return cached;
}

CostEstimate estimateJobs(const QList<ClipJob>& jobs, const ClipSource& source,
                          const QString& modelId) {
    CostCounter counter(source, modelId);
    for (const ClipJob& job : jobs) {
        counter.add(job);
    }
    return counter.estimate();
}

void addBilled(Billing* billing, const ClipJob& job, const ClipResult& result) {
    if (!result.local || result.source != ClipTier::Service) {
        return;
    }
    ++billing->newClips;
    if (result.characterCost >= 0) {
        billing->characters += result.characterCost;
    } else {
        billing->characters += billableCharacters(job.request.text);
        billing->estimated = true;
    }
}

ReportCue reportCue(const ClipJob& job, const ClipResult* result, const QString& input,
                    qint64 number, qint64 startMs, qint64 endMs, const QString& speaker) {
    ReportCue cue;
    cue.input = input;
    cue.number = number;
    cue.startMs = std::max<qint64>(startMs, 0);
    cue.endMs = std::max<qint64>(endMs, 0);
    cue.speaker = speaker;
    cue.text = job.request.text;
    cue.voiceId = job.request.voiceId;
    cue.cacheKey = job.key;
    cue.characters = billableCharacters(job.request.text);
    if (!result || !result->local) {
        return cue;
    }
    cue.clipFile = job.path;
    cue.attempts = result->attempts;
    switch (result->source) {
    case ClipTier::Cache:
        cue.source = ClipOrigin::Cache;
        break;
    case ClipTier::Mirror:
        cue.source = ClipOrigin::Mirror;
        break;
    case ClipTier::Service:
        cue.source = ClipOrigin::Service;
        if (result->characterCost >= 0) {
            cue.billedCharacters = result->characterCost;
        }
        cue.requestId = result->requestId;
        break;
    }
    return cue;
}

ReportPlacement reportPlacement(const ClipPlacement& placement, qint64 desiredEndMs,
                                double speedUp) {
    ReportPlacement placed;
    placed.desiredStartMs = std::max<qint64>(placement.desiredStartMs, 0);
    placed.desiredEndMs = std::max<qint64>(desiredEndMs, placed.desiredStartMs);
    placed.actualStartMs = std::max<qint64>(placement.actualStartMs, 0);
    placed.actualEndMs = std::max(placement.actualEndMs, placed.actualStartMs);
    placed.delayMs = std::max<qint64>(placement.actualStartMs - placement.desiredStartMs, 0);
    placed.speedUp = std::max(speedUp, 1.0);
    return placed;
}

bool writeReportIfAsked(const RunConfiguration& config, const RunReport& report, Console& console) {
    if (config.reportFile.isEmpty()) {
        return true;
    }
    QString error;
    if (!writeRunReport(config.reportFile, report, &error)) {
        console.error(error + QLatin1Char('\n'));
        return false;
    }
    return true;
}

} // namespace lyrane
