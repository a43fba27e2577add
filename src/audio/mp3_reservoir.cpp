#include "audio/mp3_reservoir.h"

#include <QObject>

#include <algorithm>
#include <cstring>

namespace lyrane {

bool Mp3MainDataReader::read(const uint8_t* frame, qint64 size, Mp3CodedFrame* coded,
                             QString* error) {
    const std::optional<Mp3FrameHeader> header = parseMp3FrameHeader(frame, size);
    if (!header || header->frameBytes() != size) {
        *error = QObject::tr("an MP3 frame is damaged");
        return false;
    }
    if (m_headBytes != 0 && m_headBytes != header->headBytes()) {
        *error = QObject::tr("the MP3 frames change their layout");
        return false;
    }
    m_headBytes = header->headBytes();
    const Mp3SideInfo side = readMp3SideInfo(frame, *header);
    const qint64 start = m_payloads.size() - side.mainDataBegin;
    const qint64 length = side.mainDataBytes();
    m_payloads.append(reinterpret_cast<const char*>(frame) + m_headBytes, header->payloadBytes());
    if (start < 0 || start + length > m_payloads.size()) {
        *error = QObject::tr("an MP3 frame's main data lies outside the stream");
        return false;
    }
    coded->head = QByteArray(reinterpret_cast<const char*>(frame), m_headBytes);
    coded->mainData = m_payloads.mid(start, length);
    coded->mainDataBegin = side.mainDataBegin;
    coded->lastBlockTypes = side.lastBlockTypes;
    const qint64 keep = header->maxMainDataBegin();
    if (m_payloads.size() > keep) {
        m_payloads.remove(0, m_payloads.size() - keep);
    }
    return true;
}

bool Mp3MainDataReader::prime(const uint8_t* frame, qint64 size) {
    const std::optional<Mp3FrameHeader> header = parseMp3FrameHeader(frame, size);
    if (!header || header->frameBytes() != size) {
        return false;
    }
    m_headBytes = header->headBytes();
    m_payloads.append(reinterpret_cast<const char*>(frame) + m_headBytes, header->payloadBytes());
    const qint64 keep = header->maxMainDataBegin();
    if (m_payloads.size() > keep) {
        m_payloads.remove(0, m_payloads.size() - keep);
    }
    return true;
}

Mp3FramePacker::Mp3FramePacker(const Mp3FramePattern& pattern) : m_pattern(pattern) {}

Mp3FramePacker::Mp3FramePacker(const Mp3FramePattern& pattern, qint64 nextIndex,
                               std::vector<QByteArray> before, qint64 mainDataEnd)
    : m_pattern(pattern), m_next(nextIndex), m_cursor(mainDataEnd),
      m_open(std::make_move_iterator(before.begin()), std::make_move_iterator(before.end())) {
    const qint64 end = m_pattern.payloadOffset(m_next);
    if (m_cursor < end) {
        write(m_cursor, QByteArray(int(end - m_cursor), '\0'));
    }
    release(std::max(m_cursor, end - m_pattern.header().maxMainDataBegin()));
}

int Mp3FramePacker::reservoir() const {
    return int(std::min<qint64>(freeBytes(), m_pattern.header().maxMainDataBegin()));
}

bool Mp3FramePacker::add(const Mp3CodedFrame& frame) {
    const Mp3FrameHeader& layout = m_pattern.header();
    const auto* head = reinterpret_cast<const uint8_t*>(frame.head.constData());
    const std::optional<Mp3FrameHeader> header = parseMp3FrameHeader(head, frame.head.size());
    if (!header || !sameMp3Layout(*header, layout) || frame.head.size() != layout.headBytes()) {
        return false;
    }
    const qint64 payload = m_pattern.payloadOffset(m_next);
    const qint64 payloadEnd = m_pattern.payloadOffset(m_next + 1);
    const qint64 start = std::max(m_cursor, payload - layout.maxMainDataBegin());
    if (start + frame.mainData.size() > payloadEnd) {
        return false;
    }
    QByteArray bytes(m_pattern.frameBytes(m_next), '\0');
    std::memcpy(bytes.data(), frame.head.constData(), size_t(frame.head.size()));
    rewriteMp3FrameHead(reinterpret_cast<uint8_t*>(bytes.data()), layout, m_pattern.padded(m_next),
                        int(payload - start));
    m_open.push_back(std::move(bytes));
    ++m_next;
    write(start, frame.mainData);
    m_cursor = start + frame.mainData.size();
    release(std::max(m_cursor, payloadEnd - layout.maxMainDataBegin()));
    return true;
}

std::vector<QByteArray> Mp3FramePacker::takeFinished() {
    std::vector<QByteArray> finished;
    finished.swap(m_finished);
    return finished;
}

void Mp3FramePacker::finish() {
    while (!m_open.empty()) {
        m_finished.push_back(std::move(m_open.front()));
        m_open.pop_front();
    }
}

bool Mp3FramePacker::finishBefore(const QByteArray& tail) {
    const qint64 at = m_pattern.payloadOffset(m_next) - tail.size();
    if (m_cursor > at) {
        return false;
    }
    write(at, tail);
    finish();
    return true;
}

void Mp3FramePacker::write(qint64 position, const QByteArray& bytes) {
    const int head = m_pattern.header().headBytes();
    qint64 index = m_next - qint64(m_open.size());
    qint64 done = 0;
    for (QByteArray& frame : m_open) {
        const qint64 payload = m_pattern.payloadOffset(index++);
        const qint64 payloadEnd = payload + frame.size() - head;
        const qint64 from = position + done;
        if (done == bytes.size()) {
            break;
        }
        if (from >= payloadEnd) {
            continue;
        }
        const qint64 count = std::min<qint64>(bytes.size() - done, payloadEnd - from);
        std::memcpy(frame.data() + head + (from - payload), bytes.constData() + done,
                    size_t(count));
        done += count;
    }
}

void Mp3FramePacker::release(qint64 freeFrom) {
    qint64 index = m_next - qint64(m_open.size());
    while (!m_open.empty() && m_pattern.payloadOffset(index + 1) <= freeFrom) {
        m_finished.push_back(std::move(m_open.front()));
        m_open.pop_front();
        ++index;
    }
}

} // namespace lyrane
