#include "audio/mp3_chunked_encoder.h"
#include "audio/audio_error.h"
#include "audio/mp3_codec.h"

#include <QObject>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <deque>
#include <future>
#include <vector>

namespace lyrane {

using audio_detail::setError;

namespace {

// Samples handed to an encoder at a time, between looks at the stop flag.
constexpr qint64 kEncodeBlock = 16 * 1152;

// Cuts an encoder's packets into frames and takes each frame's main data out of the reservoir,
// numbering the frames from the one its input began at.
class CodedFrameCollector {
public:
    using Take = std::function<bool(qint64 index, Mp3CodedFrame&& frame)>;
    CodedFrameCollector(qint64 firstIndex, Take take)
        : m_index(firstIndex), m_take(std::move(take)) {}

    bool add(const uint8_t* data, int size) {
        m_buffer.append(reinterpret_cast<const char*>(data), size);
        const auto* bytes = reinterpret_cast<const uint8_t*>(m_buffer.constData());
        qint64 at = 0;
        while (m_buffer.size() - at >= 4) {
            const std::optional<Mp3FrameHeader> header =
                parseMp3FrameHeader(bytes + at, m_buffer.size() - at);
            if (!header) {
                m_error = QObject::tr("the MP3 encoder made a damaged frame");
                return false;
            }
            if (at + header->frameBytes() > m_buffer.size()) {
                break;
            }
            Mp3CodedFrame coded;
            if (!m_reader.read(bytes + at, header->frameBytes(), &coded, &m_error) ||
                !m_take(m_index++, std::move(coded))) {
                return false;
            }
            at += header->frameBytes();
        }
        m_buffer.remove(0, at);
        return true;
    }

    QString error() const { return m_error; }

private:
    Mp3MainDataReader m_reader;
    QByteArray m_buffer;
    qint64 m_index;
    Take m_take;
    QString m_error;
};

// A chunk's input: its samples from the first of frame `startFrame` on, and the frames to keep.
struct ChunkInput {
    qint64 number = 0;
    qint64 startFrame = 0;
    std::vector<qint16> samples;
    qint64 keepFrom = 0;
    qint64 keepTo = -1; // -1: up to the stream's end
};

struct ChunkOutput {
    ChunkInput input; // given back, for encoding it again joined to the next chunk
    Mp3ChunkFrames frames;
    QString error;
};

ChunkOutput encodeChunk(ChunkInput input, int sampleRate, int bitRate,
                        const std::atomic<bool>& stop) {
    ChunkOutput output;
    output.frames.first = input.keepFrom;
    Mp3Encoder encoder;
    if (encoder.open(sampleRate, bitRate, &output.error)) {
        CodedFrameCollector collector(input.startFrame, [&](qint64 index, Mp3CodedFrame&& frame) {
            if (index >= input.keepFrom && (input.keepTo < 0 || index < input.keepTo)) {
                output.frames.frames.push_back(std::move(frame));
            }
            return true;
        });
        const PacketSink sink = [&](const uint8_t* data, int size) {
            return !stop.load(std::memory_order_relaxed) && collector.add(data, size);
        };
        const qint64 count = qint64(input.samples.size());
        bool encoded = true;
        for (qint64 at = 0; at < count && encoded; at += kEncodeBlock) {
            encoded =
                encoder.write(input.samples.data() + at, std::min(kEncodeBlock, count - at), sink);
        }
        encoded = encoded && encoder.finish(sink);
        if (!encoded) {
            output.error = !encoder.encoderError().isEmpty() ? encoder.encoderError()
                           : !collector.error().isEmpty()
                               ? collector.error()
                               : QObject::tr("stopped before the output was complete");
        }
    }
    output.input = std::move(input);
    return output;
}

} // namespace

qint64 mp3ChunkLength(const Mp3ChunkPlan& plan, qint64 period) {
    if (plan.chunkFrames <= 0) {
        return 0;
    }
    const qint64 overlap = plan.warmUpFrames + 2 * plan.seamReach + 1 + plan.lookaheadFrames;
    const qint64 frames = std::max<qint64>(plan.chunkFrames, overlap + 1);
    return (frames + period - 1) / period * period;
}

qint64 mp3NominalSeam(const Mp3ChunkPlan& plan, qint64 chunkLength, qint64 k) {
    return k * chunkLength + plan.warmUpFrames + plan.seamReach + 1;
}

std::optional<Mp3StreamFormat> probeMp3Format(int sampleRate, int bitRate, QString* error) {
    Mp3Encoder encoder;
    if (!encoder.open(sampleRate, bitRate, error)) {
        return std::nullopt;
    }
    std::optional<Mp3FrameHeader> header;
    const PacketSink sink = [&header](const uint8_t* data, int size) {
        if (!header) {
            header = parseMp3FrameHeader(data, size);
        }
        return true;
    };
    const std::vector<qint16> silence(1152, 0);
    if (!encoder.write(silence.data(), qint64(silence.size()), sink) || !encoder.finish(sink) ||
        !header) {
        setError(error, !encoder.encoderError().isEmpty()
                            ? encoder.encoderError()
                            : QObject::tr("failed to open MP3 encoder"));
        return std::nullopt;
    }
    return Mp3StreamFormat{Mp3FramePattern(*header), encoder.initialPadding()};
}

struct Mp3ChunkedEncoder::State {
    Setup setup;
    Mp3SeamAssembler& assembler;
    int frameSamples = 0;
    qint64 chunkFrames = 0; // 0: one chunk, encoded as the samples come
    int threads = 1;
    qint64 position = 0; // of the next sample, counted from the stream's first
    std::deque<ChunkInput> open;
    qint64 nextNumber = 0;
    std::deque<std::future<ChunkOutput>> pending;
    std::unique_ptr<QThreadPool> pool;
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    ChunkInput currentInput; // of the chunk the assembler holds
    Failure failure = Failure::None;
    QString error;
    Mp3SeamCounts counts;
    // One chunk: a single encoder whose frames go straight to the assembler.
    std::unique_ptr<Mp3Encoder> whole;
    std::unique_ptr<CodedFrameCollector> wholeFrames;

    State(const Setup& s, Mp3SeamAssembler& a) : setup(s), assembler(a) {}

    const Mp3ChunkPlan& plan() const { return setup.plan; }
    qint64 chunkStart(qint64 number) const { return setup.firstFrame + number * chunkFrames; }
    qint64 inputStart(qint64 number) const { return chunkStart(number) * frameSamples; }
    qint64 nominalSeam(qint64 number) const {
        return number == 0 ? setup.firstSeam
                           : setup.firstFrame + mp3NominalSeam(plan(), chunkFrames, number);
    }
    qint64 inputEnd(qint64 number) const {
        return (nominalSeam(number + 1) + plan().seamReach + plan().lookaheadFrames) * frameSamples;
    }

    ChunkInput openChunk(qint64 number) const {
        ChunkInput chunk;
        chunk.number = number;
        chunk.startFrame = chunkStart(number);
        chunk.keepFrom = number > 0          ? nominalSeam(number) - plan().seamReach - 1
                         : setup.streamStart ? setup.firstFrame
                                             : setup.firstFrame + plan().warmUpFrames;
        chunk.keepTo = nominalSeam(number + 1) + plan().seamReach;
        chunk.samples.reserve(size_t(inputEnd(number) - inputStart(number)));
        return chunk;
    }

    bool fail(Failure why, const QString& message = QString()) {
        if (failure == Failure::None) {
            failure = why;
            error = message;
        }
        return false;
    }

    void submit(ChunkInput chunk) {
        const int rate = setup.sampleRate;
        const int bitRate = setup.bitRate;
        if (!pool) {
            std::promise<ChunkOutput> done;
            done.set_value(encodeChunk(std::move(chunk), rate, bitRate, *stop));
            pending.push_back(done.get_future());
            return;
        }
        auto task = std::make_shared<std::packaged_task<ChunkOutput()>>(
            [chunk = std::move(chunk), rate, bitRate, stop = stop]() mutable {
                return encodeChunk(std::move(chunk), rate, bitRate, *stop);
            });
        pending.push_back(task->get_future());
        pool->start([task] { (*task)(); });
    }

    // Joins finished chunks in order; waits while more than `inFlight` are pending.
    bool collect(size_t inFlight) {
        while (!pending.empty() &&
               (pending.size() > inFlight ||
                pending.front().wait_for(std::chrono::seconds(0)) == std::future_status::ready)) {
            ChunkOutput output = pending.front().get();
            pending.pop_front();
            if (!join(std::move(output))) {
                return false;
            }
        }
        return true;
    }

    bool join(ChunkOutput output) {
        if (!output.error.isEmpty()) {
            return fail(Failure::Encoder, output.error);
        }
        if (!assembler.started()) {
            assembler.start(std::move(output.frames));
            currentInput = std::move(output.input);
            return true;
        }
        const qint64 number = output.input.number;
        switch (assembler.join(std::move(output.frames), nominalSeam(number), plan().seamReach)) {
        case Mp3SeamAssembler::Join::Joined:
            ++counts.seams;
            counts.frames.append(assembler.lastSeam());
            currentInput = std::move(output.input);
            return true;
        case Mp3SeamAssembler::Join::Failed:
            return fail(Failure::Output);
        case Mp3SeamAssembler::Join::NoSeam:
            break;
        }
        if (number == 0) {
            return fail(Failure::NoFirstSeam);
        }
        return joinContinued(std::move(output.input));
    }

    // No frame of the overlap made a seam: the chunk the assembler holds is encoded again
    // through the next one, whose frames continue it as one encoder's would.
    bool joinContinued(ChunkInput next) {
        ChunkInput both = std::move(currentInput);
        both.samples.resize(size_t((next.startFrame - both.startFrame) * frameSamples));
        both.number = next.number;
        both.samples.insert(both.samples.end(), next.samples.begin(), next.samples.end());
        both.keepTo = next.keepTo;
        ChunkOutput output = encodeChunk(std::move(both), setup.sampleRate, setup.bitRate, *stop);
        if (!output.error.isEmpty()) {
            return fail(Failure::Encoder, output.error);
        }
        if (assembler.join(std::move(output.frames), nominalSeam(next.number), plan().seamReach) !=
            Mp3SeamAssembler::Join::Joined) {
            return fail(Failure::Encoder,
                        QObject::tr("the MP3 encoder's chunks could not be joined"));
        }
        ++counts.seams;
        ++counts.fallbacks;
        counts.frames.append(assembler.lastSeam());
        currentInput = std::move(output.input);
        return true;
    }

    bool layWhole(qint64, Mp3CodedFrame&& frame) {
        return assembler.lay(frame) || fail(Failure::Output);
    }

    // The single encoder's reason, or the frames' when they would not read.
    bool wholeFailed() {
        return fail(Failure::Encoder, !whole->encoderError().isEmpty() ? whole->encoderError()
                                                                       : wholeFrames->error());
    }
};

Mp3ChunkedEncoder::Mp3ChunkedEncoder(const Setup& setup, Mp3SeamAssembler& assembler)
    : d(std::make_unique<State>(setup, assembler)) {
    const Mp3ChunkPlan& plan = setup.plan;
    d->frameSamples = setup.format.pattern.header().samplesPerFrame();
    d->position = d->inputStart(0);
    if (plan.chunkFrames <= 0) {
        d->whole = std::make_unique<Mp3Encoder>();
        QString error;
        if (!d->whole->open(setup.sampleRate, setup.bitRate, &error)) {
            d->fail(Failure::Encoder, error);
        }
        d->wholeFrames = std::make_unique<CodedFrameCollector>(
            setup.firstFrame, [this](qint64 index, Mp3CodedFrame&& frame) {
                return d->layWhole(index, std::move(frame));
            });
        return;
    }
    // Longer than the overlap, so at most two chunks take input at once.
    d->chunkFrames = mp3ChunkLength(plan, setup.format.pattern.period());
    d->threads = setup.threads > 0 ? setup.threads : std::max(1, QThread::idealThreadCount());
    if (d->threads > 1) {
        d->pool = std::make_unique<QThreadPool>();
        d->pool->setMaxThreadCount(d->threads);
    }
    d->open.push_back(d->openChunk(0));
    d->nextNumber = 1;
}

Mp3ChunkedEncoder::~Mp3ChunkedEncoder() {
    d->stop->store(true);
    if (d->pool) {
        d->pool->waitForDone();
    }
}

bool Mp3ChunkedEncoder::write(const qint16* samples, qint64 count) {
    if (d->failure != Failure::None) {
        return false;
    }
    if (d->whole) {
        d->position += count;
        return d->whole->write(samples, count, [this](const uint8_t* data, int size) {
            return d->wholeFrames->add(data, size);
        }) || d->wholeFailed();
    }
    while (count > 0) {
        if (d->position == d->inputStart(d->nextNumber)) {
            d->open.push_back(d->openChunk(d->nextNumber++));
        }
        const qint64 frontEnd = d->inputEnd(d->open.front().number);
        const qint64 n =
            std::min({count, d->inputStart(d->nextNumber) - d->position, frontEnd - d->position});
        for (ChunkInput& chunk : d->open) {
            chunk.samples.insert(chunk.samples.end(), samples, samples + n);
        }
        d->position += n;
        samples += n;
        count -= n;
        if (d->position == frontEnd) {
            d->submit(std::move(d->open.front()));
            d->open.pop_front();
            if (!d->collect(size_t(d->threads) + 1)) {
                return false;
            }
        }
    }
    return true;
}

bool Mp3ChunkedEncoder::finish(bool streamEnd) {
    if (d->failure != Failure::None) {
        return false;
    }
    if (d->whole) {
        return d->whole->finish([this](const uint8_t* data, int size) {
            return d->wholeFrames->add(data, size);
        }) || d->wholeFailed();
    }
    // The earliest open chunk holds all the input left; any later one only repeats its end.
    ChunkInput last = std::move(d->open.front());
    d->open.clear();
    last.keepTo = streamEnd ? -1 : d->position / d->frameSamples - d->plan().lookaheadFrames;
    d->submit(std::move(last));
    return d->collect(0);
}

Mp3ChunkedEncoder::Failure Mp3ChunkedEncoder::failure() const {
    return d->failure;
}

QString Mp3ChunkedEncoder::error() const {
    return d->error;
}

qint64 Mp3ChunkedEncoder::firstSample() const {
    return d->inputStart(0);
}

qint64 Mp3ChunkedEncoder::samplesWritten() const {
    return d->position - d->inputStart(0);
}

Mp3SeamCounts Mp3ChunkedEncoder::counts() const {
    return d->counts;
}

} // namespace lyrane
