#include "audio/narration_stream.h"
#include "audio/audio_error.h"

#include <QObject>

namespace lyrane {

namespace {

constexpr qint64 kNarrationReadSamples = 8192;

using audio_detail::fail;

} // namespace

bool NarrationStream::open(const NarrationSource& narration, int mixRate, QString* error) {
    source = &narration;
    if (narration.sampleRate == mixRate) {
        return true;
    }
    ffmpeg::ChannelLayout mono(1);
    SwrContext* raw = nullptr;
    const int rc = swr_alloc_set_opts2(&raw, &mono.layout, AV_SAMPLE_FMT_DBL, mixRate, &mono.layout,
                                       AV_SAMPLE_FMT_DBL, narration.sampleRate, 0, nullptr);
    resampler.reset(raw);
    if (rc < 0 || swr_init(raw) < 0) {
        return fail(error, QObject::tr("cannot resample the narration from %1 Hz to %2 Hz")
                               .arg(narration.sampleRate)
                               .arg(mixRate));
    }
    return true;
}

bool NarrationStream::take(double* out, qint64 count, QString* error) {
    while (ready.size() < count && !ended) {
        if (!refill(error)) {
            return false;
        }
    }
    const qint64 available = std::min(count, ready.size());
    std::copy(ready.data(), ready.data() + available, out);
    std::fill(out + available, out + count, 0.0);
    ready.drop(available);
    return true;
}

bool NarrationStream::refill(QString* error) {
    input.resize(size_t(kNarrationReadSamples));
    const qint64 got = source->read ? source->read(input.data(), kNarrationReadSamples, error) : 0;
    if (got < 0) {
        return false;
    }
    if (!resampler) {
        ready.append(input.data(), got);
        ended = got == 0;
        return true;
    }
    // At the end, a call without input drains what the resampler still holds.
    const int room = swr_get_out_samples(resampler.get(), int(got)) + 16;
    output.resize(size_t(room));
    uint8_t* out[] = {reinterpret_cast<uint8_t*>(output.data())};
    const uint8_t* in[] = {reinterpret_cast<const uint8_t*>(input.data())};
    const int made = swr_convert(resampler.get(), out, room, got > 0 ? in : nullptr, int(got));
    if (made < 0) {
        return fail(error,
                    QObject::tr("cannot resample the narration: %1").arg(ffmpeg::errorText(made)));
    }
    ready.append(output.data(), made);
    ended = got == 0;
    return true;
}

} // namespace lyrane
