#pragma once

#include <QFile>
#include <QString>
#include <QtGlobal>

#include <vector>

namespace lyrane {

// Reads the first channel of a 16-bit PCM WAV file a slice at a time, and from its start again
// on request: a long narration is mixed without being held.
class WavSampleStream {
public:
    bool open(const QString& path, QString* error);
    // Fills up to `max` samples and returns how many, 0 at the end, -1 on failure.
    qint64 read(double* out, qint64 max, QString* error);
    bool rewind(QString* error);

    int sampleRate() const { return rate; }
    qint64 totalSamples() const { return total; }

private:
    QFile file;
    int rate = 0;
    int channels = 1;
    qint64 remaining = 0; // frames
    qint64 total = 0;
    qint64 dataStart = 0;
    std::vector<uchar> bytes;
};

} // namespace lyrane
