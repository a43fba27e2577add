#include "audio/time_stretch.h"
#include "audio/audio_error.h"

#include <QObject>

#include <rubberband/RubberBandStretcher.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace lyrane {

using audio_detail::setError;

std::optional<AudioBuffer> speedUp(const AudioBuffer& buffer, double factor, QString* error) {
    if (!(factor > 0.0) || !std::isfinite(factor)) {
        setError(error, QObject::tr("invalid speed factor: %1").arg(factor));
        return std::nullopt;
    }
    if (buffer.sampleRate <= 0) {
        setError(error, QObject::tr("invalid sample rate: %1").arg(buffer.sampleRate));
        return std::nullopt;
    }
    if (factor == 1.0 || buffer.samples.isEmpty()) {
        return buffer;
    }

    using RubberBand::RubberBandStretcher;
    RubberBandStretcher stretcher(static_cast<size_t>(buffer.sampleRate), 1,
                                  RubberBandStretcher::OptionProcessOffline |
                                      RubberBandStretcher::OptionEngineFiner,
                                  1.0 / factor);
    const size_t total = static_cast<size_t>(buffer.samples.size());
    stretcher.setExpectedInputDuration(total);
    constexpr size_t kBlock = 8192;
    stretcher.setMaxProcessSize(kBlock);

    std::vector<float> block(kBlock);
    const double* source = buffer.samples.constData();
    auto fill = [&](size_t offset, size_t n) {
        for (size_t k = 0; k < n; ++k) {
            block[k] = static_cast<float>(source[offset + k]);
        }
    };
    // The offline stretcher needs the whole input once to plan the ratio over it.
    for (size_t offset = 0; offset < total; offset += kBlock) {
        const size_t n = std::min(kBlock, total - offset);
        fill(offset, n);
        const float* channels[1] = {block.data()};
        stretcher.study(channels, n, offset + n >= total);
    }

    AudioBuffer result;
    result.sampleRate = buffer.sampleRate;
    result.samples.reserve(static_cast<qsizetype>(std::ceil(static_cast<double>(total) / factor)) +
                           1);
    std::vector<float> out(kBlock);
    auto retrieveAvailable = [&]() {
        for (;;) {
            const int available = stretcher.available();
            if (available <= 0) {
                return available;
            }
            const size_t n = std::min(static_cast<size_t>(available), out.size());
            float* channels[1] = {out.data()};
            const size_t got = stretcher.retrieve(channels, n);
            for (size_t k = 0; k < got; ++k) {
                result.samples.append(out[k]);
            }
        }
    };
    for (size_t offset = 0; offset < total; offset += kBlock) {
        const size_t n = std::min(kBlock, total - offset);
        fill(offset, n);
        const float* channels[1] = {block.data()};
        stretcher.process(channels, n, offset + n >= total);
        retrieveAvailable();
    }
    // available() turns -1 once every output sample has been retrieved.
    while (retrieveAvailable() == 0) {
        const float* channels[1] = {block.data()};
        stretcher.process(channels, 0, true);
    }
    return result;
}

} // namespace lyrane
