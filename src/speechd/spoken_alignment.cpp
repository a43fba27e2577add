#include "spoken_alignment.h"

#include <QJsonArray>

#include <algorithm>
#include <cmath>

namespace lyrane {

namespace {

// Code points of `text`, each as a string.
QStringList codePoints(const QString& text) {
    QStringList points;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype length =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()
                ? 2
                : 1;
        points.append(text.mid(i, length));
        i += length - 1;
    }
    return points;
}

// espeak-ng marks a clause's end after its pause: a word ends where its sound does, the last
// sample louder than about -40 dBFS, when that is before the next mark.
double soundEnd(const AudioBuffer& audio, double start, double end) {
    if (audio.sampleRate <= 0)
        return end;
    const qsizetype first = qsizetype(start * audio.sampleRate);
    qsizetype last = std::min<qsizetype>(qsizetype(end * audio.sampleRate), audio.samples.size());
    while (last > first && std::abs(audio.samples[last - 1]) < 0.01)
        --last;
    return last > first ? double(last) / audio.sampleRate : end;
}

} // namespace

QJsonObject spokenAlignment(const QString& text, const SpokenText& spoken, double seconds) {
    const QStringList characters = codePoints(text);
    const qsizetype count = characters.size();
    std::vector<double> starts(size_t(count), -1.0);
    std::vector<double> ends(size_t(count), -1.0);
    const auto clamp = [seconds](double time) {
        return std::clamp(time, 0.0, seconds);
    };

    const std::vector<SpokenWord>& words = spoken.words;
    for (size_t w = 0; w < words.size(); ++w) {
        const SpokenWord& word = words[w];
        if (word.position >= count || word.length <= 0)
            continue;
        const double start = clamp(word.startSeconds);
        double end = w + 1 < words.size() ? words[w + 1].startSeconds : seconds;
        for (const double clauseEnd : spoken.clauseEnds) {
            if (clauseEnd > start) {
                end = std::min(end, clauseEnd);
                break;
            }
        }
        end = std::max(start, soundEnd(spoken.audio, start, clamp(end)));
        const int length = int(std::min<qsizetype>(word.length, count - word.position));
        for (int c = 0; c < length; ++c) {
            const size_t index = size_t(word.position + c);
            starts[index] = start + (end - start) * c / length;
            ends[index] = start + (end - start) * (c + 1) / length;
        }
    }
    // Characters no word covers sit at the end of what came before; times never go back.
    double previousStart = 0;
    double previousEnd = 0;
    for (size_t i = 0; i < size_t(count); ++i) {
        if (starts[i] < 0) {
            starts[i] = previousEnd;
            ends[i] = previousEnd;
        }
        starts[i] = std::max(starts[i], previousStart);
        ends[i] = std::max({ends[i], starts[i], previousEnd});
        previousStart = starts[i];
        previousEnd = ends[i];
    }

    QJsonArray characterArray;
    QJsonArray startArray;
    QJsonArray endArray;
    for (qsizetype i = 0; i < count; ++i) {
        characterArray.append(characters[i]);
        // Milliseconds, as the cloud writes them.
        startArray.append(std::round(starts[size_t(i)] * 1000.0) / 1000.0);
        endArray.append(std::round(ends[size_t(i)] * 1000.0) / 1000.0);
    }
    return {{QStringLiteral("characters"), characterArray},
            {QStringLiteral("character_start_times_seconds"), startArray},
            {QStringLiteral("character_end_times_seconds"), endArray}};
}

} // namespace lyrane
