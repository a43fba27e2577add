#include "audio/wav_samples.h"

#include "audio/audio_buffer.h"

#include <QtEndian>

#include <algorithm>

namespace lyrane {

namespace {

// How much of a data chunk is read: `count` samples of the first channel, the first
// `readable` of them from the file (`heldBytes` of it there), the rest silence.
struct WavExtent {
    qint64 count = 0;
    qint64 readable = 0;
    qint64 heldBytes = 0;
};

WavExtent wavExtent(const QFile& file, const WavLayout& layout) {
    const qint64 channels = layout.channels;
    const qint64 size = layout.dataSize;
    const qint64 declaredValues = size / 2;
    const qint64 available = qMax<qint64>(0, file.size() - file.pos());
    WavExtent extent;
    extent.heldBytes = qMin<qint64>(size, available);
    const qint64 heldValues = extent.heldBytes / 2;
    const qint64 declaredSamples = (declaredValues + channels - 1) / channels;
    const qint64 heldSamples = (heldValues + channels - 1) / channels;
    // A short tail reads as silence; a header claiming far more than the file
    // holds is not allowed to drive the allocation.
    extent.count =
        declaredSamples - heldSamples <= qMax(layout.sampleRate, 0) ? declaredSamples : heldSamples;
    extent.readable = qMin(extent.count, heldSamples);
    return extent;
}

// Reads the data chunk's first channel in slices, handing each slice's values to `take`
// (`first`: the first channel's first value; `frames`; the step between frames in values).
// Returns the frames read.
template <typename Take>
qint64 readFirstChannel(QFile& file, const WavLayout& layout, const WavExtent& extent,
                        const Take& take) {
    const qint64 channels = layout.channels;
    const qint64 frameBytes = 2 * channels;
    const qint64 sliceFrames = qMax<qint64>(1, (qint64(1) << 16) / frameBytes);
    std::vector<uchar> slice(static_cast<size_t>(sliceFrames * frameBytes));
    qint64 done = 0;
    qint64 bytesLeft = extent.heldBytes;
    while (done < extent.readable) {
        const qint64 want = qMin<qint64>(sliceFrames * frameBytes, bytesLeft);
        qint64 got = 0;
        while (got < want) {
            const qint64 n = file.read(reinterpret_cast<char*>(slice.data()) + got, want - got);
            if (n <= 0) {
                break;
            }
            got += n;
        }
        bytesLeft -= got;
        // Values wholly read; a frame counts when its first channel's value is there.
        const qint64 values = got / 2;
        const qint64 frames = qMin((values + channels - 1) / channels, extent.readable - done);
        if (frames <= 0) {
            break;
        }
        take(slice.data(), done, frames, channels);
        done += frames;
    }
    return done;
}

} // namespace

// Read in slices: no copy of the whole chunk is held.
void readWavSamples(QFile& file, const WavLayout& layout, QList<double>& samples) {
    const WavExtent extent = wavExtent(file, layout);
    samples.resize(extent.count);
    double* out = samples.data();
    const qint64 done = readFirstChannel(
        file, layout, extent, [out](const uchar* in, qint64 at, qint64 frames, qint64 channels) {
            double* to = out + at;
            if (channels == 1) {
                for (qint64 i = 0; i < frames; ++i) {
                    to[i] = fromPcm16(qFromLittleEndian<qint16>(in + 2 * i));
                }
            } else {
                for (qint64 i = 0; i < frames; ++i) {
                    to[i] = fromPcm16(qFromLittleEndian<qint16>(in + 2 * i * channels));
                }
            }
        });
    for (qint64 i = done; i < extent.count; ++i) {
        out[i] = 0.0;
    }
}

void readWavPcm16(QFile& file, const WavLayout& layout, std::vector<qint16>& values) {
    const WavExtent extent = wavExtent(file, layout);
    values.resize(static_cast<size_t>(extent.count));
    qint16* out = values.data();
    qint64 done = 0;
    if (layout.channels == 1 && Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        // Straight into place: the file's bytes are the values.
        char* bytes = reinterpret_cast<char*>(out);
        const qint64 want = extent.readable * 2;
        qint64 got = 0;
        while (got < want) {
            const qint64 n = file.read(bytes + got, want - got);
            if (n <= 0) {
                break;
            }
            got += n;
        }
        done = got / 2;
    } else {
        done = readFirstChannel(file, layout, extent,
                                [out](const uchar* in, qint64 at, qint64 frames, qint64 channels) {
                                    for (qint64 i = 0; i < frames; ++i) {
                                        out[at + i] =
                                            qFromLittleEndian<qint16>(in + 2 * i * channels);
                                    }
                                });
    }
    std::fill(out + done, out + extent.count, qint16(0));
}

} // namespace lyrane
