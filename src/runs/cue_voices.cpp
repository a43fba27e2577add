#include "runs/cue_voices.h"

namespace lyrane {

void assignSpeakers(QList<Cue>* cues, SpeakerLabels labels) {
    QList<SpeakerCueInput> inputs;
    inputs.reserve(cues->size());
    for (const Cue& cue : std::as_const(*cues)) {
        inputs.append({cue.text, cue.speaker});
    }
    const QList<SpeakerCue> speakers = findSpeakers(inputs, labels);
    inputs.clear();
    for (qsizetype i = 0; i < cues->size(); ++i) {
        Cue& cue = (*cues)[i];
        const SpeakerCue& found = speakers[i];
        // A voice span is already gone from the text; only a label has to be taken out.
        if (!found.speaker.isEmpty() && cue.speaker.simplified().isEmpty()) {
            cue.text = found.spokenText;
        }
        cue.speaker = found.speaker;
    }
}

QString cueVoice(const Cue& cue, const VoiceMap& voices, const QString& defaultVoice) {
    if (cue.speaker.isEmpty()) {
        return defaultVoice;
    }
    return voices.voiceFor(cue.speaker).value_or(defaultVoice);
}

QString unmappedSpeakerLines(const QList<Cue>& cues, int count, const VoiceMap& voices,
                             const QString& defaultVoice) {
    if (voices.isEmpty()) {
        return QString();
    }
    QStringList speakers;
    speakers.reserve(count);
    for (int i = 0; i < count; ++i) {
        speakers.append(cues[i].speaker);
    }
    QString lines;
    for (const QString& speaker : voices.unmappedSpeakers(speakers)) {
        lines += unmappedSpeakerLine(speaker, defaultVoice);
    }
    return lines;
}

} // namespace lyrane
