#include "audio/wav_stream.h"

#include "audio/wav_file.h"

#include <QObject>
#include <QtEndian>

#include <algorithm>

namespace lyrane {

namespace {

QString readFailure(const QFile& file) {
    return QObject::tr("cannot read the rendered narration: %1").arg(file.errorString());
}

} // namespace

bool WavSampleStream::open(const QString& path, QString* error) {
    file.setFileName(path);
    WavLayout layout;
    if (!readWavHeader(file, path, &layout, error)) {
        return false;
    }
    rate = layout.sampleRate;
    channels = std::max<int>(layout.channels, 1);
    const qint64 held = std::max<qint64>(0, file.size() - file.pos());
    total = std::min<qint64>(layout.dataSize, held) / (2 * channels);
    remaining = total;
    dataStart = file.pos();
    return true;
}

qint64 WavSampleStream::read(double* out, qint64 max, QString* error) {
    const qint64 count = std::min(max, remaining);
    const qint64 frameBytes = 2 * qint64(channels);
    bytes.resize(static_cast<size_t>(count * frameBytes));
    if (count > 0 && file.read(reinterpret_cast<char*>(bytes.data()), count * frameBytes) !=
                         count * frameBytes) {
        if (error) {
            *error = readFailure(file);
        }
        return -1;
    }
    for (qint64 i = 0; i < count; ++i) {
        out[i] = qFromLittleEndian<qint16>(bytes.data() + i * frameBytes) / 32768.0;
    }
    remaining -= count;
    return count;
}

bool WavSampleStream::rewind(QString* error) {
    if (!file.seek(dataStart)) {
        if (error) {
            *error = readFailure(file);
        }
        return false;
    }
    remaining = total;
    return true;
}

} // namespace lyrane
