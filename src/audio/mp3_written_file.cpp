#include "audio/mp3_written_file.h"

#include <QObject>

#include <algorithm>

namespace lyrane {

Mp3WrittenFile::Mp3WrittenFile(const Mp3FramePattern& pattern) : m_pattern(pattern) {
    const qint64 leastPayload = pattern.unpaddedFrameBytes() - pattern.header().headBytes();
    m_framesBack = pattern.header().maxMainDataBegin() / std::max<qint64>(1, leastPayload) + 2;
}

bool Mp3WrittenFile::open(const QString& path) {
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        return fail(Problem::Unreadable, QObject::tr("failed to read MP3 file %1").arg(path));
    }
    m_info = m_file.read(m_pattern.unpaddedFrameBytes());
    const auto* head = reinterpret_cast<const uint8_t*>(m_info.constData());
    const std::optional<Mp3FrameHeader> header = parseMp3FrameHeader(head, m_info.size());
    if (!header || !sameMp3Layout(*header, m_pattern.header())) {
        return fail(Problem::NotOurs, QObject::tr("the MP3 file has another layout"));
    }
    const std::optional<Mp3InfoTag> tag = readMp3InfoFrame(m_info);
    if (!tag) {
        return fail(Problem::NotOurs, QObject::tr("the MP3 file has no Info tag"));
    }
    m_tag = *tag;
    if (m_tag.bytes != m_file.size() || m_tag.bytes != offsetOf(m_tag.frames)) {
        return fail(Problem::NotOurs,
                    QObject::tr("the MP3 file's size does not match its Info tag"));
    }
    return true;
}

std::optional<QByteArray> Mp3WrittenFile::bytes(qint64 offset, qint64 size) {
    QByteArray data;
    if (m_file.seek(offset)) {
        data = m_file.read(size);
    }
    if (data.size() != size) {
        fail(Problem::Unreadable, QObject::tr("failed to read MP3 file %1").arg(m_file.fileName()));
        return std::nullopt;
    }
    return data;
}

std::optional<std::vector<QByteArray>> Mp3WrittenFile::frames(qint64 from, qint64 to) {
    from = std::max<qint64>(from, 0);
    const std::optional<QByteArray> data = bytes(offsetOf(from), offsetOf(to) - offsetOf(from));
    if (!data) {
        return std::nullopt;
    }
    std::vector<QByteArray> frames;
    qint64 at = 0;
    for (qint64 index = from; index < to; ++index) {
        const int size = m_pattern.frameBytes(index);
        const auto* frame = reinterpret_cast<const uint8_t*>(data->constData() + at);
        const std::optional<Mp3FrameHeader> header = parseMp3FrameHeader(frame, size);
        if (!header || !sameMp3Layout(*header, m_pattern.header()) ||
            header->padded != m_pattern.padded(index)) {
            fail(Problem::NotOurs,
                 QObject::tr("the MP3 file's frames are not where its Info tag puts them"));
            return std::nullopt;
        }
        frames.push_back(data->mid(at, size));
        at += size;
    }
    return frames;
}

std::optional<Mp3ChunkFrames> Mp3WrittenFile::coded(qint64 from, qint64 to) {
    const qint64 back = std::max<qint64>(0, from - m_framesBack);
    const std::optional<std::vector<QByteArray>> raw = frames(back, to);
    if (!raw) {
        return std::nullopt;
    }
    Mp3MainDataReader reader;
    Mp3ChunkFrames chunk;
    chunk.first = from;
    for (qint64 index = back; index < to; ++index) {
        const QByteArray& frame = raw->at(size_t(index - back));
        const auto* bytes = reinterpret_cast<const uint8_t*>(frame.constData());
        if (index < from) {
            reader.prime(bytes, frame.size());
            continue;
        }
        Mp3CodedFrame coded;
        QString error;
        if (!reader.read(bytes, frame.size(), &coded, &error)) {
            fail(Problem::NotOurs, error);
            return std::nullopt;
        }
        chunk.frames.push_back(std::move(coded));
    }
    return chunk;
}

qint64 Mp3WrittenFile::mainDataStart(qint64 index, const QByteArray& frame) const {
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame.constData());
    return m_pattern.payloadOffset(index) -
           readMp3SideInfo(bytes, m_pattern.header()).mainDataBegin;
}

bool Mp3WrittenFile::fail(Problem problem, const QString& reason) {
    if (m_problem == Problem::None) {
        m_problem = problem;
        m_reason = reason;
    }
    return false;
}

} // namespace lyrane
