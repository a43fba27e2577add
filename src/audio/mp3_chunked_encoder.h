#pragma once

// MP3 encoding on several cores: the samples are cut into chunks at fixed frames, each chunk
// encoded by an encoder of its own from a few frames before it (so its first kept frames have
// the overlap and analysis of the audio before them), and the chunks' frames joined at seams
// into one stream (Mp3SeamAssembler). Chunk boundaries depend only on frame numbers, so the
// bytes never depend on the thread count or on timing.

#include "audio/mp3_frame.h"
#include "audio/mp3_seams.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>

namespace lyrane {

// How a stream is cut, in frames.
struct Mp3ChunkPlan {
    // About 41 s at 44.1 kHz, rounded up to a multiple of the padding period so every
    // encoder pads its frames as the whole stream does. 0: the stream is one chunk.
    int chunkFrames = 1568;
    // Encoded before a chunk's earliest seam and dropped. The encoder's bit allocation takes
    // this long to come close to what one encoder of the whole stream would do there.
    int warmUpFrames = 64;
    int seamReach = 8;       // how far either side of its nominal frame a seam may move
    int lookaheadFrames = 3; // input after a chunk's last frame, which that frame's analysis reads

    static Mp3ChunkPlan whole() { return Mp3ChunkPlan{0, 0, 0, 0}; }
};

// The frames a chunk spans: chunkFrames rounded up to whole padding periods, and longer than
// consecutive chunks overlap (0 for one chunk). Chunk k's encoder starts at frame k times it.
qint64 mp3ChunkLength(const Mp3ChunkPlan& plan, qint64 period);
// Where the seam between chunk k - 1 and chunk k is looked for, seamReach either side.
qint64 mp3NominalSeam(const Mp3ChunkPlan& plan, qint64 chunkLength, qint64 k);

// What an encoder opened with these settings makes: the frames' layout and padding pattern,
// and the delay FFmpeg reports (`initial_padding`, the decoder's delay included).
struct Mp3StreamFormat {
    Mp3FramePattern pattern;
    int initialPadding = 0;
};
std::optional<Mp3StreamFormat> probeMp3Format(int sampleRate, int bitRate, QString* error);

struct Mp3SeamCounts {
    int seams = 0;
    // Seams no frame of the overlap made, where the pair was encoded again as one chunk.
    int fallbacks = 0;
    QList<qint64> frames; // where each seam fell: the first frame of the later chunk
};

class Mp3ChunkedEncoder {
public:
    struct Setup {
        int sampleRate = 0;
        int bitRate = 0;
        Mp3StreamFormat format;
        Mp3ChunkPlan plan;
        int threads = 0; // 0: QThread::idealThreadCount()
        // The frame the input begins at, a multiple of the padding period.
        qint64 firstFrame = 0;
        // The input begins the stream, so its first frames are kept; else the first chunk
        // joins the frames the assembler already holds at a seam near `firstSeam`.
        bool streamStart = true;
        qint64 firstSeam = 0;
    };

    Mp3ChunkedEncoder(const Setup& setup, Mp3SeamAssembler& assembler);
    ~Mp3ChunkedEncoder(); // stops the chunks still encoding
    Mp3ChunkedEncoder(const Mp3ChunkedEncoder&) = delete;
    Mp3ChunkedEncoder& operator=(const Mp3ChunkedEncoder&) = delete;

    bool write(const qint16* samples, qint64 count);
    // Encodes what is left. At the stream's end the last chunk's every frame is kept; else
    // its frames up to lookaheadFrames before the end of the input. The assembler is left
    // holding the last chunk, for the caller to finish.
    bool finish(bool streamEnd);

    enum class Failure { None, Encoder, NoFirstSeam, Output };
    Failure failure() const;
    // The encoder's reason when failure() is Encoder.
    QString error() const;
    // The stream's sample the input begins at: the first of frame `firstFrame`.
    qint64 firstSample() const;
    qint64 samplesWritten() const;
    Mp3SeamCounts counts() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace lyrane
