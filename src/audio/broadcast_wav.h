#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <functional>

namespace lyrane {

// The Broadcast WAV files handed to a mixer: 48 kHz, as workstations expect them.
constexpr int kBroadcastWavSampleRate = 48000;

// The bext chunk of a Broadcast WAV file (EBU Tech 3285, version 1). Texts longer than their
// fields (256 bytes of description, 32 of originator and reference, as UTF-8) are cut at a
// character boundary.
struct BroadcastExtension {
    QString description;
    QString originator = QStringLiteral("lyrane");
    QString originatorReference;
    QDateTime origination;     // local date and time; invalid: the fields are left blank
    quint64 timeReference = 0; // the first sample's position on the timeline, in samples
    QString codingHistory;     // one line for each process, each ended with CR LF
};

// The chunk as written, its 8-byte header included, padded to an even length.
QByteArray broadcastExtensionChunk(const BroadcastExtension& extension);

// A sample as 24-bit PCM: scaled by 8388607, rounded to the nearest (halves away from zero),
// clamped to the range. Inline: it runs once a sample.
inline qint32 toPcm24(double sample) {
    const double scaled = sample * 8388607.0;
    if (!(scaled > -8388608.0)) {
        return -8388608; // NaN too
    }
    if (scaled >= 8388607.0) {
        return 8388607;
    }
    return qint32(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
}

// Receives samples (full scale -1 to +1) in order; returns false to stop.
using SampleSink = std::function<bool(const double* samples, qint64 count)>;

// How a file reaches its name.
enum class FileWriting {
    Atomic, // written beside it and renamed over it once whole (AtomicOutput)
    // A new file written under its name, in a folder that appears whole itself: the folder's
    // writer puts it on the disk with the others before the folder takes its name.
    InPlace,
};

// Streams a mono 24-bit PCM Broadcast WAV file of sampleCount samples (bext, fmt, data):
// produce hands every sample to the sink it is given. Atomic, the file is on the disk before it
// takes its name; in place, a failure removes it. A file beyond RIFF's 4 GiB fails before
// anything is written.
bool writeBroadcastWavFile(qint64 sampleCount, int sampleRate, const BroadcastExtension& extension,
                           const QString& path,
                           const std::function<bool(const SampleSink&)>& produce, QString* error,
                           FileWriting writing = FileWriting::Atomic);

} // namespace lyrane
