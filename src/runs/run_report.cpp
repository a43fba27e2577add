#include "runs/run_report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QObject>
#include <QSaveFile>

#include <cmath>

namespace lyrane {

namespace {

// Optional texts are written as null rather than left out, so every cue has the same members.
QJsonValue textOrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

template <typename T> QJsonValue valueOrNull(const std::optional<T>& value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonObject voiceSettingsJson(const VoiceSettings& settings) {
    QJsonObject object;
    if (!settings.languageCode.isEmpty()) {
        object.insert(QStringLiteral("language_code"), settings.languageCode);
    }
    if (settings.stability) {
        object.insert(QStringLiteral("stability"), *settings.stability);
    }
    if (settings.similarityBoost) {
        object.insert(QStringLiteral("similarity_boost"), *settings.similarityBoost);
    }
    if (settings.style) {
        object.insert(QStringLiteral("style"), *settings.style);
    }
    if (settings.useSpeakerBoost) {
        object.insert(QStringLiteral("use_speaker_boost"), true);
    }
    if (settings.seed) {
        object.insert(QStringLiteral("seed"), qint64(*settings.seed));
    }
    QJsonObject sent;
    addVoiceSettingsToBody(&sent, 1.0, settings);
    for (const char* name : {"pronunciation_dictionary_locators", "apply_text_normalization"}) {
        const QString key = QLatin1String(name);
        if (sent.contains(key)) {
            object.insert(key, sent.value(key));
        }
    }
    return object;
}

QJsonObject settingsJson(const ReportSettings& settings) {
    QJsonArray voiceMap;
    for (const ReportVoice& entry : settings.voiceMap) {
        voiceMap.append(QJsonObject{{QStringLiteral("speaker"), entry.speaker},
                                    {QStringLiteral("voice"), entry.voice}});
    }
    return QJsonObject{
        {QStringLiteral("voice"), settings.voice},
        {QStringLiteral("voice_id"), settings.voiceId},
        {QStringLiteral("voice_map"), voiceMap},
        {QStringLiteral("model"), settings.voiceSettings.modelId},
        {QStringLiteral("format"), settings.format},
        {QStringLiteral("speed"), settings.speed},
        {QStringLiteral("voice_settings"), voiceSettingsJson(settings.voiceSettings)},
    };
}

// A cue's speech from its alignment; null without one.
QJsonValue speechJson(const std::optional<ReportSpeech>& speech) {
    if (!speech) {
        return QJsonValue::Null;
    }
    QJsonValue words = QJsonValue::Null;
    if (speech->listWords) {
        QJsonArray list;
        for (const ReportWord& word : speech->words) {
            list.append(QJsonObject{{QStringLiteral("text"), word.text},
                                    {QStringLiteral("start_ms"), word.startMs},
                                    {QStringLiteral("end_ms"), word.endMs}});
        }
        words = list;
    }
    return QJsonObject{{QStringLiteral("start_ms"), speech->startMs},
                       {QStringLiteral("end_ms"), speech->endMs},
                       {QStringLiteral("cut_short"), speech->cutShort},
                       {QStringLiteral("words"), words}};
}

QJsonObject cueJson(const ReportCue& cue) {
    QJsonObject object{
        {QStringLiteral("input"), textOrNull(cue.input)},
        {QStringLiteral("number"), cue.number},
        {QStringLiteral("start_ms"), cue.startMs},
        {QStringLiteral("end_ms"), cue.endMs},
        {QStringLiteral("speaker"), textOrNull(cue.speaker)},
        {QStringLiteral("text"), cue.text},
        {QStringLiteral("written_text"), cue.writtenText},
        {QStringLiteral("voice_id"), cue.voiceId},
        {QStringLiteral("cache_key"), cue.cacheKey},
        {QStringLiteral("clip_file"), textOrNull(cue.clipFile)},
        {QStringLiteral("source"), clipOriginName(cue.source)},
        {QStringLiteral("characters"), cue.characters},
        {QStringLiteral("billed_characters"), valueOrNull(cue.billedCharacters)},
        {QStringLiteral("request_id"), textOrNull(cue.requestId)},
        {QStringLiteral("attempts"), cue.attempts},
        {QStringLiteral("clip_length_ms"), valueOrNull(cue.clipLengthMs)},
        {QStringLiteral("take"), cue.take},
        {QStringLiteral("takes"), cue.takes},
    };
    const auto placed = [&cue](auto member) {
        return cue.placement ? QJsonValue((*cue.placement).*member) : QJsonValue(QJsonValue::Null);
    };
    object.insert(QStringLiteral("desired_start_ms"), placed(&ReportPlacement::desiredStartMs));
    object.insert(QStringLiteral("desired_end_ms"), placed(&ReportPlacement::desiredEndMs));
    object.insert(QStringLiteral("actual_start_ms"), placed(&ReportPlacement::actualStartMs));
    object.insert(QStringLiteral("actual_end_ms"), placed(&ReportPlacement::actualEndMs));
    object.insert(QStringLiteral("delay_ms"), placed(&ReportPlacement::delayMs));
    object.insert(QStringLiteral("speed_up"), placed(&ReportPlacement::speedUp));
    object.insert(QStringLiteral("speech"), speechJson(cue.speech));
    QJsonArray joined;
    for (const qint64 number : cue.joinedCues) {
        joined.append(number);
    }
    object.insert(QStringLiteral("joined_cues"),
                  joined.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(joined));
    object.insert(QStringLiteral("covers_dialogue_ms"), valueOrNull(cue.coversDialogueMs));
    QJsonArray flags;
    for (const CueFlag& flag : cue.flags) {
        flags.append(QJsonObject{{QStringLiteral("flag"), cueFlagName(flag.kind)},
                                 {QStringLiteral("value"), flag.value}});
    }
    object.insert(QStringLiteral("flags"), flags);
    return object;
}

QJsonValue levelOrNull(double level) {
    return std::isfinite(level) ? QJsonValue(level) : QJsonValue(QJsonValue::Null);
}

QJsonValue loudnessJson(const std::optional<ReportLoudness>& loudness) {
    if (!loudness) {
        return QJsonValue(QJsonValue::Null);
    }
    return QJsonObject{
        {QStringLiteral("integrated_lufs"), levelOrNull(loudness->integratedLufs)},
        {QStringLiteral("true_peak_dbtp"), levelOrNull(loudness->truePeakDbtp)},
        {QStringLiteral("loudness_range_lu"), loudness->loudnessRangeLu},
        {QStringLiteral("target_lufs"), loudness->targetLufs},
        {QStringLiteral("true_peak_ceiling_dbtp"), loudness->truePeakCeilingDbtp},
        {QStringLiteral("preset"), textOrNull(loudness->preset)},
    };
}

} // namespace

QString clipOriginName(ClipOrigin origin) {
    switch (origin) {
    case ClipOrigin::Cache:
        return QStringLiteral("cache");
    case ClipOrigin::Mirror:
        return QStringLiteral("mirror");
    case ClipOrigin::Service:
        return QStringLiteral("service");
    case ClipOrigin::Pending:
        break;
    }
    return QStringLiteral("pending");
}

QJsonObject runReportJson(const RunReport& report) {
    QJsonArray cues;
    for (const ReportCue& cue : report.cues) {
        cues.append(cueJson(cue));
    }
    QJsonArray outputs;
    for (const ReportOutput& output : report.outputs) {
        outputs.append(QJsonObject{{QStringLiteral("input"), textOrNull(output.input)},
                                   {QStringLiteral("file"), output.file},
                                   {QStringLiteral("length_ms"), output.lengthMs},
                                   {QStringLiteral("loudness"), loudnessJson(output.loudness)}});
    }
    QJsonValue failure(QJsonValue::Null);
    if (report.failure) {
        failure = QJsonObject{{QStringLiteral("input"), textOrNull(report.failure->input)},
                              {QStringLiteral("cue"), valueOrNull(report.failure->cue)},
                              {QStringLiteral("message"), report.failure->message}};
    }
    const ReportTotals& totals = report.totals;
    QJsonObject json{
        {QStringLiteral("program"), QStringLiteral("lyrane")},
        {QStringLiteral("version"), report.version},
        {QStringLiteral("dry_run"), report.dryRun},
        {QStringLiteral("settings"), settingsJson(report.settings)},
        {QStringLiteral("cues"), cues},
        {QStringLiteral("totals"),
         QJsonObject{
             {QStringLiteral("cues"), totals.cues},
             {QStringLiteral("new_clips"), totals.newClips},
             {QStringLiteral("characters_billed"), totals.charactersBilled},
             {QStringLiteral("characters_billed_estimated"), totals.charactersBilledEstimated},
             {QStringLiteral("credits_estimated"), totals.creditsEstimated},
         }},
        {QStringLiteral("outputs"), outputs},
        {QStringLiteral("failure"), failure},
    };
    if (report.shard) {
        json.insert(QStringLiteral("shard"),
                    QJsonObject{{QStringLiteral("index"), report.shard->index},
                                {QStringLiteral("count"), report.shard->count},
                                {QStringLiteral("files"), report.shard->files},
                                {QStringLiteral("list_files"), report.shard->listFiles}});
    }
    return json;
}

bool writeRunReport(const QString& path, const RunReport& report, QString* error) {
    const auto fail = [&](const QString& reason) {
        if (error) {
            *error = QObject::tr("failed to write report %1: %2").arg(path, reason);
        }
        return false;
    };
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return fail(file.errorString());
    }
    const QByteArray bytes = QJsonDocument(runReportJson(report)).toJson(QJsonDocument::Indented);
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return fail(reason);
    }
    if (!file.commit()) {
        return fail(file.errorString());
    }
    return true;
}

} // namespace lyrane
