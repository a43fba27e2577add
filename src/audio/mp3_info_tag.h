#pragma once

// The "Info" frame (the Xing header of a constant-bit-rate stream) with the LAME extension:
// a silent first frame that tells players how many frames and bytes follow and how many
// samples of encoder delay and end padding to drop, so the stream plays back gapless.

#include "audio/mp3_frame.h"

#include <QByteArray>
#include <QtGlobal>

#include <optional>

namespace lyrane {

// Samples a decoder's synthesis delays its output by, which the tag's delay leaves out (as
// FFmpeg's demuxer and LAME's decoder count it).
constexpr int kMp3DecoderDelay = 529;

struct Mp3InfoTag {
    qint64 frames = 0;    // audio frames after the tag's own
    qint64 bytes = 0;     // the stream, the tag's frame included
    int encoderDelay = 0; // samples before the first input sample
    int endPadding = 0;   // samples after the last
    quint16 musicCrc = 0; // of the audio frames' bytes
};

// CRC-16 as the tag uses it (polynomial 0x8005, reflected), continuing from `crc`.
quint16 mp3TagCrc(const char* data, qint64 size, quint16 crc = 0);

// Delay and padding are 12-bit fields: false when the figures do not fit.
bool mp3InfoTagFits(const Mp3InfoTag& tag);

// The tag frame for a stream of `pattern`'s frames: its header with no padding, silent side
// information, then the Info header, the table of contents and the LAME extension with its CRC.
QByteArray makeMp3InfoFrame(const Mp3FramePattern& pattern, const Mp3InfoTag& tag);

// The tag read back from a stream's first frame; nothing when the frame holds no Info tag
// with a LAME extension whose CRC checks.
std::optional<Mp3InfoTag> readMp3InfoFrame(const QByteArray& frame);

} // namespace lyrane
