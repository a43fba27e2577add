#pragma once

#include "audio/ffmpeg_handles.h"
#include "audio/programme_mix.h"

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <vector>

namespace lyrane {

// Samples of one channel waiting to be mixed, consumed from the front.
class SampleQueue {
public:
    qint64 size() const { return qint64(samples.size() - head); }
    const double* data() const { return samples.data() + head; }
    void append(const double* from, qint64 count) {
        samples.insert(samples.end(), from, from + count);
    }
    void appendSilence(qint64 count) { samples.insert(samples.end(), size_t(count), 0.0); }
    void drop(qint64 count) {
        head += size_t(std::min(count, size()));
        if (head >= samples.size() / 2) {
            samples.erase(samples.begin(), samples.begin() + std::ptrdiff_t(head));
            head = 0;
        }
    }

private:
    std::vector<double> samples;
    size_t head = 0;
};

// The narration at the mix rate, pulled from its source in slices; silence once it has ended.
class NarrationStream {
public:
    bool open(const NarrationSource& source, int mixRate, QString* error);
    // Writes `count` samples to `out`.
    bool take(double* out, qint64 count, QString* error);

private:
    bool refill(QString* error);

    const NarrationSource* source = nullptr;
    ffmpeg::Resampler resampler;
    std::vector<double> input;
    std::vector<double> output;
    SampleQueue ready;
    bool ended = false;
};

} // namespace lyrane
