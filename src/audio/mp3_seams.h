#pragma once

// Joins the frames of chunks encoded apart into one stream. Consecutive chunks overlap by a
// few frames; the seam (the first frame taken from the later chunk) is a frame of the overlap
// where both chunks were in the same window sequence, so the decoder's overlap-add carries on
// as if one encoder had made both, and from which the later chunk's frames fit the bit
// reservoir the earlier chunk's leave.

#include "audio/mp3_reservoir.h"

#include <QByteArray>

#include <functional>
#include <vector>

namespace lyrane {

// The frames a chunk's encoder made, numbered as in the whole stream.
struct Mp3ChunkFrames {
    qint64 first = 0;
    std::vector<Mp3CodedFrame> frames;

    qint64 end() const { return first + qint64(frames.size()); }
    bool holds(qint64 index) const { return index >= first && index < end(); }
    const Mp3CodedFrame& at(qint64 index) const { return frames[size_t(index - first)]; }
};

// Receives laid-out frames in stream order; false stops the stream.
using Mp3FrameSink = std::function<bool(qint64 index, const QByteArray& frame)>;

class Mp3SeamAssembler {
public:
    Mp3SeamAssembler(Mp3FramePacker packer, Mp3FrameSink out);

    // The chunk whose frames are laid out first, from the packer's next frame on.
    void start(Mp3ChunkFrames chunk);
    bool started() const { return m_started; }
    const Mp3ChunkFrames& current() const { return m_current; }

    enum class Join { Joined, NoSeam, Failed };
    // Lays out the current chunk up to a seam within `reach` frames of `nominal` (the latest
    // where both made the same frames, else the quietest), after which `next` is the current
    // chunk. NoSeam leaves everything as it was.
    Join join(Mp3ChunkFrames next, qint64 nominal, int reach);
    // Lays out a frame straight after those laid out so far, in a stream encoded whole.
    bool lay(const Mp3CodedFrame& frame);
    // Lays out the rest of the current chunk and ends the stream.
    bool finishStream();
    // Lays out the current chunk up to a seam with frames that stay as they are (`kept`, as
    // they were encoded): the earliest frame from `first` on where both made the same frames,
    // else the quietest up to `nearLast`, where the kept frames' main data still fits.
    // `tailBefore(seam)` gives the payload bytes before the seam frame that the kept frames'
    // main data holds. The seam, or -1 when none.
    qint64 finishBefore(const Mp3ChunkFrames& kept, qint64 first, qint64 nearLast,
                        const std::function<QByteArray(qint64 seam)>& tailBefore);
    // Whether the sink or a frame failed.
    bool failed() const { return m_failed; }
    // The frame the latest seam fell on.
    qint64 lastSeam() const { return m_taken; }

private:
    struct SeamSearch {
        qint64 first = 0;
        qint64 last = 0;
        qint64 nearLast = 0; // the latest seam taken where the frames differ
        bool kept = false;   // the later frames stay as they are: their reservoir is needed at once
        bool latest = false; // of equal seams the latest, else the earliest
    };
    // A frame that can begin `next`'s frames, or -1.
    qint64 findSeam(const Mp3ChunkFrames& next, const SeamSearch& search) const;
    bool layOut(qint64 end);
    bool deliver();

    Mp3FramePacker m_packer;
    Mp3FrameSink m_out;
    Mp3ChunkFrames m_current;
    qint64 m_taken = 0; // the current chunk's next frame to lay out
    bool m_started = false;
    bool m_failed = false;
};

} // namespace lyrane
