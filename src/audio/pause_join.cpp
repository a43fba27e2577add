#include "audio/pause_join.h"

#include <cmath>

namespace lyrane {

namespace {

// Below this a sample counts as silence, as trimEndSilence counts it; here even a short quiet
// end is cut, so that the silence between two parts is the pause and nothing more.
constexpr double kSilence = 0.001;

qsizetype leadingSilence(const QList<double>& samples, qsizetype end) {
    qsizetype i = 0;
    while (i < end && std::fabs(samples[i]) <= kSilence) {
        ++i;
    }
    return i;
}

qsizetype trailingSilenceStart(const QList<double>& samples) {
    qsizetype end = samples.size();
    while (end > 0 && std::fabs(samples[end - 1]) <= kSilence) {
        --end;
    }
    return end;
}

qsizetype samplesFor(int ms, int rate) {
    return qsizetype(std::llround(double(ms) * rate / 1000.0));
}

} // namespace

AudioBuffer joinWithPauses(const QList<AudioBuffer>& parts, const QList<int>& pausesMs, int rate) {
    AudioBuffer joined;
    joined.sampleRate = parts.isEmpty() ? rate : parts.first().sampleRate;
    const auto pauseAt = [&](qsizetype k) {
        return k < pausesMs.size() ? samplesFor(pausesMs[k], joined.sampleRate) : 0;
    };
    qsizetype total = pauseAt(parts.size());
    QList<std::pair<qsizetype, qsizetype>> kept; // [first, end) of each part
    for (qsizetype k = 0; k < parts.size(); ++k) {
        const QList<double>& samples = parts[k].samples;
        const qsizetype end = trailingSilenceStart(samples);
        const qsizetype first = leadingSilence(samples, end);
        kept.append({first, end});
        total += pauseAt(k) + (end - first);
    }
    joined.samples.reserve(total);
    for (qsizetype k = 0; k < parts.size(); ++k) {
        joined.samples.insert(joined.samples.size(), pauseAt(k), 0.0);
        const auto [first, end] = kept[k];
        joined.samples.append(parts[k].samples.mid(first, end - first));
    }
    joined.samples.insert(joined.samples.size(), pauseAt(parts.size()), 0.0);
    return joined;
}

} // namespace lyrane
