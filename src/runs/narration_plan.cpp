#include "runs/narration_plan.h"

#include "runs/cue_voices.h"
#include "runs/service_notices.h"
#include "runs/spoken_text.h"

#include <QObject>

namespace lyrane {

PlanSettings PlanSettings::of(const RunConfiguration& config) {
    PlanSettings settings;
    settings.synthesis = config.synthesis;
    settings.voices = config.speakers.voices;
    settings.lexicon = config.lexicon;
    settings.takes = config.takes;
    return settings;
}

namespace {

// The request of cue `i`: in its speaker's voice, the cues around it (or around its sentence)
// as context; a joined sentence is one request for all its cues.
ClipJob cueJob(const NarrationInput& input, int i, const SentenceGroup& group,
               const PlanSettings& settings, PlanSources& sources, Console& console) {
    const QList<Cue>& cues = input.cues;
    const Lexicon* lexicon = settings.lexicon.get();
    const int first = group.first;
    const int last = group.first + group.count - 1;
    const QString text =
        spokenText(lexicon, group.joined() ? joinedText(cues, group) : cues[i].text);
    const QString previous =
        spokenText(lexicon, first > 0 ? cues[first - 1].text : input.leadingContext);
    const QString next =
        spokenText(lexicon, last + 1 < cues.size() ? cues[last + 1].text : input.trailingContext);
    const QString voice = cueVoice(cues[i], settings.voices, settings.synthesis.voice);
    QString requestVoice = voice;
    if (sources.voiceNames) {
        QString warning;
        requestVoice = sources.voiceNames->resolve(voice, &warning);
        if (!warning.isEmpty()) {
            console.error(warning);
        }
    }
    TtsRequest request = makeRequest(settings.synthesis, requestVoice, text, previous, next);
    request.withTimestamps = request.withTimestamps || group.joined();
    return sources.clips.job(request, voice);
}

} // namespace

QList<ClipJob> NarrationPlan::jobsToAskFor() const {
    QList<ClipJob> asked;
    asked.reserve(cues.size());
    for (const CueRecord& cue : cues) {
        if (cue.paused && !isMade(*cue.paused)) {
            asked.append(cue.paused->parts);
        } else {
            asked.append(cue.job);
        }
    }
    return asked;
}

std::optional<NarrationPlan> planNarration(const NarrationInput& input,
                                           const PlanSettings& settings, PlanSources& sources,
                                           RunContext context, NarrationOutcome* failure) {
    NarrationPlan plan;
    plan.input = &input;
    plan.cues.reserve(input.count);
    for (int i = 0; i < input.count && i < input.cues.size(); ++i) {
        CueRecord cue;
        cue.index = i;
        cue.group = i < input.groups.size() ? input.groups[i] : SentenceGroup{i, 1};
        cue.job = cueJob(input, i, cue.group, settings, sources, context.console);
        plan.cues.append(std::move(cue));
    }
    if (settings.sayJoinedSentences) {
        const QString joined = joinedSentencesText(input.groups);
        if (!joined.isEmpty()) {
            context.console.error(joined);
        }
    }
    // A subtitle file's cues play the takes chosen for them; a text's parts have one take.
    if (input.layout == CueLayout::CueTimes && sources.takes) {
        if (std::optional<NarrationOutcome> refused =
                checkTakeCues(settings.takes, int(plan.cues.size()))) {
            *failure = *refused;
            return std::nullopt;
        }
        QList<ClipJob> firsts;
        firsts.reserve(plan.cues.size());
        for (const CueRecord& cue : std::as_const(plan.cues)) {
            firsts.append(cue.job);
        }
        sources.takes->bringIn(firsts);
        for (CueRecord& cue : plan.cues) {
            const std::optional<CueTake> take = sources.takes->cueTake(
                int(cue.number()), cue.job, settings.takes, failure, settings.sayUnreadableTakes);
            if (!take) {
                return std::nullopt;
            }
            cue.take = *take;
            cue.job = takeJob(sources.clips, cue.job, *take);
        }
    }
    CostCounter counter(sources.clips, settings.synthesis.voiceSettings.modelId);
    for (CueRecord& cue : plan.cues) {
        cue.paused =
            pausedCue(input.cues[cue.index], cue.job, settings.lexicon.get(), sources.clips);
        if (cue.paused) {
            cue.job = cue.paused->joined;
        }
        // A cue said in parts costs its parts until they are joined.
        if (cue.paused && !isMade(*cue.paused)) {
            bool cached = true;
            for (const ClipJob& part : std::as_const(cue.paused->parts)) {
                cached = counter.add(part) && cached;
            }
            cue.cachedAtPlan = cached;
        } else {
            cue.cachedAtPlan = counter.add(cue.job);
        }
    }
    plan.estimate = counter.estimate();
    return plan;
}

std::optional<NarrationOutcome> checkRequestLengths(const NarrationPlan& plan) {
    for (const CueRecord& cue : plan.cues) {
        const QList<ClipJob> sent = cue.paused ? cue.paused->parts : QList<ClipJob>{cue.job};
        for (const ClipJob& job : sent) {
            const QString refusal =
                requestLengthRefusal(job.request, QObject::tr("Cue %1").arg(cue.number()));
            if (!refusal.isEmpty()) {
                return NarrationOutcome::failedWith(RunFailure::Kind::Input, refusal, cue.number());
            }
        }
    }
    return std::nullopt;
}

} // namespace lyrane
