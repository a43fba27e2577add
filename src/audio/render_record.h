#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace lyrane {

// What a rendered output was made of, kept beside it so that the next run can rewrite only
// the spans whose clips changed. Written after the output, trusted only while the output is
// the very file it was written for.

// One clip as it lies on the timeline: which clip (its file in the cache, whose name is its
// content and take, known by size and change time as well in case the cache replaced it),
// where it starts and how long it is in samples, and how much it was sped up.
struct PlacedClip {
    QString path;
    qint64 fileSize = 0;
    qint64 fileChangedNs = 0;
    qint64 startSample = 0;
    qint64 length = 0;
    double speedUp = 1.0;

    bool operator==(const PlacedClip& other) const;
    bool operator!=(const PlacedClip& other) const { return !(*this == other); }
};

// Everything else that decides the output's bytes: a change of any of it rewrites the whole
// output.
struct RenderSettings {
    QString format; // the container and sample form, with any encoder settings
    int sampleRate = 0;
    qint64 totalSamples = 0;
    QString level; // how the mix is brought to the output's level, exactly
    QString tools; // versions of the libraries that remake clips

    bool operator==(const RenderSettings& other) const;
    bool operator!=(const RenderSettings& other) const { return !(*this == other); }
};

size_t qHash(const PlacedClip& clip, size_t seed = 0) noexcept;

struct RenderRecord {
    RenderSettings settings;
    QList<PlacedClip> clips; // in timeline order
};

// The placed clip at `path`, its size and change time read now; nothing when it is gone.
std::optional<PlacedClip> placedClip(const QString& path, qint64 startSample, qint64 length,
                                     double speedUp);

// The record as text (one line per clip) and back; nothing for bytes that are not one.
QByteArray renderRecordBytes(const RenderRecord& record);
std::optional<RenderRecord> parseRenderRecord(const QByteArray& bytes);

// The record's file beside `output`: ".NAME.render", hidden like the output's temporaries.
QString renderRecordPath(const QString& output);

// Writes `body` (a record's bytes) as the record of `output` as it is now: its device, inode,
// size, change time and the hash of its first bytes. The file appears whole or not at all.
bool writeOutputRecord(const QString& output, const QByteArray& body, QString* error);
// The body of the record beside `output` when it was written for the output as it is now;
// nothing when there is none, it cannot be read, or the output has changed since.
std::optional<QByteArray> readOutputRecord(const QString& output);
// Removes the record beside `output`, if any.
void removeOutputRecord(const QString& output);

} // namespace lyrane
