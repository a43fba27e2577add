#include "runs/sentence_groups.h"

#include "runs/console.h"
#include "runs/cue_voices.h"
#include "synthesis/clip_source.h"
#include "synthesis/request_limits.h"

#include <QObject>
#include <QStringList>

namespace lyrane {

namespace {

constexpr int kMaxJoinedCues = 5;

bool isClosing(QChar c) {
    static const QString closing = QStringLiteral("\"')]}»”’」』）】〉》");
    return closing.contains(c);
}

bool sameSpeaker(const Cue& a, const Cue& b) {
    return a.speaker.compare(b.speaker, Qt::CaseInsensitive) == 0;
}

} // namespace

bool endsSentence(const QString& text) {
    static const QString enders = QStringLiteral(".!?…。！？");
    qsizetype i = text.size() - 1;
    while (i >= 0 && (text.at(i).isSpace() || isClosing(text.at(i)))) {
        --i;
    }
    return i >= 0 && enders.contains(text.at(i));
}

QString joinedText(const QList<Cue>& cues, const SentenceGroup& group) {
    QStringList texts;
    for (int i = group.first; i < group.first + group.count; ++i) {
        texts.append(cues[i].text.trimmed());
    }
    return texts.join(QLatin1Char(' '));
}

QList<SentenceGroup> sentenceGroups(const QList<Cue>& cues, int count, bool join,
                                    const VoiceMap& voices, const SynthesisSettings& synthesis) {
    QList<SentenceGroup> groups;
    const auto voiceOf = [&](int i) {
        return cueVoice(cues[i], voices, synthesis.voice);
    };
    int i = 0;
    while (i < count) {
        SentenceGroup group{i, 1};
        if (join && !endsSentence(cues[i].text)) {
            // Grows while the sentence runs on in one speaker's voice; it ends at its last
            // character, at a change of speaker or voice, or with the cues.
            const auto continues = [&](int last) {
                return !endsSentence(cues[last].text) && last + 1 < count &&
                       sameSpeaker(cues[last + 1], cues[i]) && voiceOf(last + 1) == voiceOf(i);
            };
            int last = i;
            while (continues(last) && last + 1 - i < kMaxJoinedCues) {
                ++last;
            }
            const SentenceGroup candidate{i, last - i + 1};
            const QString text = joinedText(cues, candidate);
            const TtsRequest request = makeRequest(synthesis, text, QString(), QString());
            // Still running on after five cues breaks the limit, as a text too long does.
            if (candidate.joined() && !continues(last) &&
                text.size() <= requestCharacterLimit(request)) {
                group = candidate;
            } else {
                // The whole sentence is spoken cue by cue, not a fragment of it joined.
                while (continues(last)) {
                    ++last;
                }
                for (; i < last; ++i) {
                    groups.append({i, 1});
                }
                group = {i, 1};
            }
        }
        for (int k = 0; k < group.count; ++k) {
            groups.append(group);
        }
        i += group.count;
    }
    return groups;
}

QString joinedSentencesText(const QList<SentenceGroup>& groups) {
    QString text;
    int requests = 0;
    for (qsizetype i = 0; i < groups.size(); ++i) {
        const SentenceGroup& group = groups[i];
        if (group.first != i) {
            continue;
        }
        ++requests;
        if (group.joined()) {
            text += QObject::tr("Cues %1-%2 are one sentence, spoken in one request\n")
                        .arg(group.first + 1)
                        .arg(group.first + group.count);
        }
    }
    if (text.isEmpty()) {
        return text;
    }
    return text + QObject::tr("Joined sentences: %1 cues in %2 requests\n")
                      .arg(groups.size())
                      .arg(requests);
}

void recordJoined(ReportCue* cue, const QList<SentenceGroup>& groups, int index) {
    cue->joinedCues.clear();
    if (index >= groups.size() || !groups[index].joined()) {
        return;
    }
    for (int k = 0; k < groups[index].count; ++k) {
        cue->joinedCues.append(groups[index].first + k + 1);
    }
}

} // namespace lyrane
