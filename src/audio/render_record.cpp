#include "audio/render_record.h"

#include "audio/atomic_output.h"
#include "audio/audio_error.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QHashFunctions>
#include <QObject>
#include <QUrl>

#include <cstring>
#include <sys/stat.h>

namespace lyrane {

using audio_detail::setError;

namespace {

constexpr char kRecordHeading[] = "lyrane output record 1";
constexpr qint64 kHashedHeadBytes = 4096;
// Far above any narration's record; a larger file is no record of ours.
constexpr qint64 kLargestRecord = qint64(64) << 20;

// The file an output is, as far as a record can tell: the same device and inode (so not
// replaced), size and modification time (so not written since), and its first bytes.
QByteArray outputIdentity(const QString& output) {
    struct stat status {};
    const QByteArray name = QFile::encodeName(output);
    if (::lstat(name.constData(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return QByteArray();
    }
    QFile file(output);
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    const QByteArray head = file.read(kHashedHeadBytes);
    const qint64 modifiedNs =
        qint64(status.st_mtim.tv_sec) * 1000000000 + qint64(status.st_mtim.tv_nsec);
    return QByteArrayLiteral("output ") + QByteArray::number(quint64(status.st_dev)) + ' ' +
           QByteArray::number(quint64(status.st_ino)) + ' ' +
           QByteArray::number(qint64(status.st_size)) + ' ' + QByteArray::number(modifiedNs) + ' ' +
           QCryptographicHash::hash(head, QCryptographicHash::Sha256).toHex();
}

quint64 bitsOf(double value) {
    quint64 bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

QByteArray doubleBits(double value) {
    return QByteArray::number(bitsOf(value), 16);
}

std::optional<double> doubleFromBits(const QByteArray& text) {
    bool ok = false;
    const quint64 bits = text.toULongLong(&ok, 16);
    if (!ok) {
        return std::nullopt;
    }
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

QByteArray encoded(const QString& text) {
    return QUrl::toPercentEncoding(text);
}

QString decoded(const QByteArray& text) {
    return QString::fromUtf8(QByteArray::fromPercentEncoding(text));
}

// A line's fields after its keyword, when the line starts with it and has `count` of them.
std::optional<QList<QByteArray>> fields(const QByteArray& line, const char* keyword,
                                        qsizetype count) {
    QList<QByteArray> parts = line.split(' ');
    if (parts.size() != count + 1 || parts.first() != keyword) {
        return std::nullopt;
    }
    parts.removeFirst();
    return parts;
}

std::optional<qint64> number(const QByteArray& text) {
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

} // namespace

bool PlacedClip::operator==(const PlacedClip& other) const {
    // Bit for bit: a speed-up that differs in its last bit makes other samples.
    return path == other.path && fileSize == other.fileSize &&
           fileChangedNs == other.fileChangedNs && startSample == other.startSample &&
           length == other.length && bitsOf(speedUp) == bitsOf(other.speedUp);
}

size_t qHash(const PlacedClip& clip, size_t seed) noexcept {
    return qHashMulti(seed, clip.path, clip.fileSize, clip.fileChangedNs, clip.startSample,
                      clip.length, bitsOf(clip.speedUp));
}

bool RenderSettings::operator==(const RenderSettings& other) const {
    return format == other.format && sampleRate == other.sampleRate &&
           totalSamples == other.totalSamples && level == other.level && tools == other.tools;
}

std::optional<PlacedClip> placedClip(const QString& path, qint64 startSample, qint64 length,
                                     double speedUp) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
        return std::nullopt;
    }
    PlacedClip clip;
    clip.path = QFileInfo(path).absoluteFilePath();
    clip.fileSize = qint64(status.st_size);
    clip.fileChangedNs =
        qint64(status.st_mtim.tv_sec) * 1000000000 + qint64(status.st_mtim.tv_nsec);
    clip.startSample = startSample;
    clip.length = length;
    clip.speedUp = speedUp;
    return clip;
}

QByteArray renderRecordBytes(const RenderRecord& record) {
    const RenderSettings& settings = record.settings;
    QByteArray bytes;
    bytes += "format " + encoded(settings.format) + '\n';
    bytes += "rate " + QByteArray::number(settings.sampleRate) + '\n';
    bytes += "samples " + QByteArray::number(settings.totalSamples) + '\n';
    bytes += "level " + encoded(settings.level) + '\n';
    bytes += "tools " + encoded(settings.tools) + '\n';
    bytes += "clips " + QByteArray::number(record.clips.size()) + '\n';
    for (const PlacedClip& clip : record.clips) {
        bytes += "clip " + QByteArray::number(clip.startSample) + ' ' +
                 QByteArray::number(clip.length) + ' ' + doubleBits(clip.speedUp) + ' ' +
                 QByteArray::number(clip.fileSize) + ' ' + QByteArray::number(clip.fileChangedNs) +
                 ' ' + encoded(clip.path) + '\n';
    }
    return bytes;
}

std::optional<RenderRecord> parseRenderRecord(const QByteArray& bytes) {
    if (!bytes.endsWith('\n')) {
        return std::nullopt;
    }
    const QList<QByteArray> lines = bytes.chopped(1).split('\n');
    if (lines.size() < 6) {
        return std::nullopt;
    }
    const auto format = fields(lines[0], "format", 1);
    const auto rate = fields(lines[1], "rate", 1);
    const auto samples = fields(lines[2], "samples", 1);
    const auto level = fields(lines[3], "level", 1);
    const auto tools = fields(lines[4], "tools", 1);
    const auto clips = fields(lines[5], "clips", 1);
    if (!format || !rate || !samples || !level || !tools || !clips) {
        return std::nullopt;
    }
    const std::optional<qint64> sampleRate = number(rate->first());
    const std::optional<qint64> totalSamples = number(samples->first());
    const std::optional<qint64> clipCount = number(clips->first());
    if (!sampleRate || !totalSamples || !clipCount || *sampleRate <= 0 ||
        *sampleRate > 0x7FFFFFFF || *clipCount != lines.size() - 6) {
        return std::nullopt;
    }
    RenderRecord record;
    record.settings.format = decoded(format->first());
    record.settings.sampleRate = int(*sampleRate);
    record.settings.totalSamples = *totalSamples;
    record.settings.level = decoded(level->first());
    record.settings.tools = decoded(tools->first());
    record.clips.reserve(*clipCount);
    for (qsizetype k = 6; k < lines.size(); ++k) {
        const auto clip = fields(lines[k], "clip", 6);
        if (!clip) {
            return std::nullopt;
        }
        const std::optional<qint64> start = number((*clip)[0]);
        const std::optional<qint64> length = number((*clip)[1]);
        const std::optional<double> speedUp = doubleFromBits((*clip)[2]);
        const std::optional<qint64> size = number((*clip)[3]);
        const std::optional<qint64> changed = number((*clip)[4]);
        if (!start || !length || !speedUp || !size || !changed || *length < 0) {
            return std::nullopt;
        }
        record.clips.append({decoded((*clip)[5]), *size, *changed, *start, *length, *speedUp});
    }
    return record;
}

QString renderRecordPath(const QString& output) {
    const QFileInfo info(output);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".render");
}

bool writeOutputRecord(const QString& output, const QByteArray& body, QString* error) {
    const QByteArray identity = outputIdentity(output);
    const QString path = renderRecordPath(output);
    if (identity.isEmpty()) {
        removeOutputRecord(output);
        return true; // nothing a record could be trusted for: no regular file
    }
    AtomicOutput record(path);
    QFile file;
    QString reason;
    const QByteArray heading = QByteArray(kRecordHeading) + '\n' + identity + '\n';
    if (!record.open(file) || file.write(heading) != heading.size() ||
        file.write(body) != body.size() || !record.finish(file, &reason)) {
        setError(error, QObject::tr("failed to write %1: %2")
                            .arg(path, reason.isEmpty() ? file.errorString() : reason));
        return false;
    }
    return true;
}

std::optional<QByteArray> readOutputRecord(const QString& output) {
    QFile file(renderRecordPath(output));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kLargestRecord) {
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    const qsizetype headingEnd = bytes.indexOf('\n');
    const qsizetype identityEnd = bytes.indexOf('\n', headingEnd + 1);
    if (headingEnd < 0 || identityEnd < 0 || bytes.first(headingEnd) != kRecordHeading) {
        return std::nullopt;
    }
    const QByteArray identity = outputIdentity(output);
    if (identity.isEmpty() || bytes.mid(headingEnd + 1, identityEnd - headingEnd - 1) != identity) {
        return std::nullopt;
    }
    return bytes.mid(identityEnd + 1);
}

void removeOutputRecord(const QString& output) {
    QFile::remove(renderRecordPath(output));
}

} // namespace lyrane
