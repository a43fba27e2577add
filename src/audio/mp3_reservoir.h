#pragma once

// The bit reservoir: frames taken apart into their head and their own main data, and laid out
// again at their places in a whole stream.

#include "audio/mp3_frame.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <deque>
#include <vector>

namespace lyrane {

// A frame apart from where its main data sits.
struct Mp3CodedFrame {
    QByteArray head;       // header, CRC and side information as encoded
    QByteArray mainData;   // the frame's own main data, whole bytes
    int mainDataBegin = 0; // the reservoir the encoder had for it
    int lastBlockTypes = 0;
};

// Takes whole frames of one stream in order and gives each one's main data, found through
// main_data_begin in the payloads before it.
class Mp3MainDataReader {
public:
    // The frame's bytes, frameBytes() of them for its header. False, with the reason, when
    // the frame is no Layer III frame of the stream's layout or its main data does not lie
    // within the payloads read so far and its own.
    bool read(const uint8_t* frame, qint64 size, Mp3CodedFrame* coded, QString* error);
    // Takes a frame's payload only, for a reader that starts inside a stream: its main data
    // may begin before the first frame given.
    bool prime(const uint8_t* frame, qint64 size);

private:
    QByteArray m_payloads; // the latest payload bytes, enough for any main_data_begin
    int m_headBytes = 0;
};

// Lays out frames at their places in a stream with the padding pattern's frame sizes: each
// frame's main data as early as the bit reservoir allows (right after the previous frame's,
// at most maxMainDataBegin() before its own payload), so the reservoir left for later frames
// is as large as it can be. A frame that would not end within its own payload is refused.
// Copies are cheap (a few frames), so a seam can be tried on a copy.
class Mp3FramePacker {
public:
    Mp3FramePacker() = default;
    // An empty stream: the next frame is frame 0 and has no reservoir.
    explicit Mp3FramePacker(const Mp3FramePattern& pattern);
    // Continues frames already laid out: `before` holds the whole bytes of the frames up to
    // nextIndex - 1 (oldest first, those whose payload a later frame may reach into), the main
    // data of frame nextIndex - 1 ending at payload position `mainDataEnd`. Their payload after
    // it is free and cleared.
    Mp3FramePacker(const Mp3FramePattern& pattern, qint64 nextIndex, std::vector<QByteArray> before,
                   qint64 mainDataEnd);

    qint64 nextIndex() const { return m_next; }
    // Free payload bytes before the next frame's payload, however many its main data may use.
    qint64 freeBytes() const { return m_pattern.payloadOffset(m_next) - m_cursor; }
    // The reservoir the next frame has.
    int reservoir() const;

    bool add(const Mp3CodedFrame& frame);
    // Frames no later frame can change, oldest first, moved out.
    std::vector<QByteArray> takeFinished();
    // Ends the stream; the unused payload stays zero (ancillary data).
    void finish();
    // Ends before frames that stay as they are: `tail` (the payload bytes just before frame
    // nextIndex() that its main data and later frames' already hold) goes at the end. False
    // when the main data laid out reaches into it.
    bool finishBefore(const QByteArray& tail);
    // The index of the first frame takeFinished() gives next.
    qint64 firstUntakenIndex() const {
        return m_next - qint64(m_open.size()) - qint64(m_finished.size());
    }

private:
    void write(qint64 position, const QByteArray& bytes);
    void release(qint64 freeFrom);

    Mp3FramePattern m_pattern;
    qint64 m_next = 0;
    qint64 m_cursor = 0;           // payload position where the next frame's main data may start
    std::deque<QByteArray> m_open; // frames m_next - size .. m_next - 1
    std::vector<QByteArray> m_finished;
};

} // namespace lyrane
