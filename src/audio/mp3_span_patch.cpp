#include "audio/mp3_span_patch.h"
#include "audio/mp3_info_tag.h"
#include "audio/mp3_written_file.h"

#include <QObject>

#include <algorithm>
#include <vector>

namespace lyrane {

namespace {

using Outcome = Mp3SpanPatches::Outcome;

// Samples rendered and handed to the encoder at a time.
constexpr qint64 kRenderBlock = 64 * 1152;
// Bytes of the file read at a time for its CRC.
constexpr qint64 kCrcBlock = 1 << 20;

// `bytes` at `offset` over `old`, less what they leave as it was at either end.
std::optional<Mp3BytePatch> changedBytes(qint64 offset, const QByteArray& old,
                                         const QByteArray& bytes) {
    qint64 from = 0;
    qint64 to = bytes.size();
    while (from < to && bytes.at(from) == old.at(from)) {
        ++from;
    }
    while (to > from && bytes.at(to - 1) == old.at(to - 1)) {
        --to;
    }
    if (from == to) {
        return std::nullopt;
    }
    return Mp3BytePatch{offset + from, bytes.mid(from, to - from)};
}

// A file that is not as this writer writes is written whole again; one that could not be
// read, or a patch that could not be made, is a failure.
Outcome outcomeOf(Mp3WrittenFile::Problem problem) {
    return problem == Mp3WrittenFile::Problem::NotOurs ? Outcome::WholeFile : Outcome::Failed;
}

// The frames a sample span reaches: those whose analysis window or overlap holds one of its
// samples, [first, end).
struct FrameRange {
    qint64 first = 0;
    qint64 end = 0;
};

class RegionPatcher {
public:
    RegionPatcher(Mp3WrittenFile& stream, const Mp3StreamFormat& format,
                  const Mp3PatchOptions& options, qint64 totalSamples,
                  const Mp3SampleRenderer& render)
        : m_stream(stream), m_format(format), m_options(options), m_totalSamples(totalSamples),
          m_render(render), m_frameSamples(format.pattern.header().samplesPerFrame()) {}

    enum class Result { Done, NoLeftSeam, NoRightSeam, Failed };

    // What encoding one region again made.
    struct Region {
        std::optional<Mp3BytePatch> patch; // none when no byte changed
        qint64 frames = 0;
        qint64 end = 0; // the frame after the last one laid out
        Mp3SeamCounts seams;
    };

    // Encodes frames `range` again, moving either seam outwards until one is found: by
    // twice as far each time, so a stream with no seam anywhere ends as a whole writing.
    std::optional<Region> patch(FrameRange range) {
        qint64 step = 2 * qint64(m_options.plan.seamReach) + 1;
        Region region;
        for (;; step *= 2) {
            switch (encode(range, region)) {
            case Result::Done:
                return region;
            case Result::Failed:
                return std::nullopt;
            case Result::NoLeftSeam:
                range.first = std::max<qint64>(0, range.first - step);
                ++region.seams.fallbacks;
                break;
            case Result::NoRightSeam:
                range.end += step;
                ++region.seams.fallbacks;
                break;
            }
        }
    }

    QString error() const { return m_error; }
    // Frames before a region's first changed one that its left seam reads or rewrites.
    qint64 leftReach() const {
        return 2 * qint64(m_options.plan.seamReach) + m_stream.framesBack() + 1;
    }

private:
    Result encode(FrameRange range, Region& out) {
        const Mp3ChunkPlan& plan = m_options.plan;
        const Mp3FramePattern& pattern = m_format.pattern;
        const qint64 reach = plan.seamReach;
        // The stream is cut as the writer cut it, so the frames encoded again are those a
        // whole writing of the new timeline would make: from the start of the chunk whose
        // frames reach back before the earliest left seam...
        const qint64 length = mp3ChunkLength(plan, pattern.period());
        const qint64 leftmost = range.first - 2 * reach;
        const bool fromStart = leftmost <= 0;
        const qint64 start =
            std::max<qint64>(0, (leftmost - 1 - plan.warmUpFrames) / length) * length;
        // ...to the latest right seam, a few frames after the change.
        const qint64 lastFrame = range.end + 2 * reach;
        const qint64 inputEnd =
            std::min(m_totalSamples, (lastFrame + plan.lookaheadFrames) * m_frameSamples);
        const bool toEnd = inputEnd == m_totalSamples;

        std::optional<Mp3FramePacker> packer;
        std::optional<Mp3ChunkFrames> before;
        if (fromStart) {
            packer.emplace(pattern);
        } else {
            std::optional<std::vector<QByteArray>> laid =
                m_stream.frames(leftmost - m_stream.framesBack(), leftmost);
            before = m_stream.coded(leftmost - 1, range.first + 1);
            if (!laid || !before) {
                return Result::Failed;
            }
            const qint64 mainDataEnd = m_stream.mainDataStart(leftmost - 1, laid->back()) +
                                       before->at(leftmost - 1).mainData.size();
            packer.emplace(pattern, leftmost, std::move(*laid), mainDataEnd);
        }
        QByteArray patched;
        qint64 patchedFirst = -1;
        qint64 patchedFrames = 0;
        Mp3SeamAssembler assembler(std::move(*packer), [&](qint64 index, const QByteArray& frame) {
            if (patchedFirst < 0) {
                patchedFirst = index;
            }
            patched.append(frame);
            ++patchedFrames;
            return true;
        });
        if (before) {
            assembler.start(std::move(*before));
        }
        Mp3ChunkedEncoder::Setup setup;
        setup.sampleRate = m_options.sampleRate;
        setup.bitRate = m_options.bitRate;
        setup.format = m_format;
        setup.plan = plan;
        setup.threads = m_options.threads;
        setup.firstFrame = start;
        setup.streamStart = start == 0;
        setup.firstSeam = range.first - reach;
        Mp3ChunkedEncoder encoder(setup, assembler);
        if (!feed(encoder, encoder.firstSample(), inputEnd) || !encoder.finish(toEnd)) {
            if (encoder.failure() == Mp3ChunkedEncoder::Failure::NoFirstSeam) {
                return Result::NoLeftSeam;
            }
            if (!m_error.isEmpty()) {
                return Result::Failed;
            }
            m_error = encoder.error().isEmpty()
                          ? QObject::tr("the MP3 encoder's frames could not be laid out")
                          : encoder.error();
            return Result::Failed;
        }
        if (toEnd) {
            if (!assembler.finishStream()) {
                m_error = QObject::tr("the MP3 encoder's frames could not be laid out");
                return Result::Failed;
            }
        } else {
            const std::optional<Mp3ChunkFrames> after =
                m_stream.coded(range.end - 1, lastFrame + 1);
            if (!after) {
                return Result::Failed;
            }
            const qint64 seam = assembler.finishBefore(*after, range.end, lastFrame,
                                                       [&](qint64 at) { return tailBefore(at); });
            // A tail that could not be read leaves the stream's reason behind.
            if (m_stream.problem() != Mp3WrittenFile::Problem::None) {
                return Result::Failed;
            }
            if (seam < 0) {
                if (assembler.failed()) {
                    m_error = QObject::tr("the MP3 encoder's frames could not be laid out");
                    return Result::Failed;
                }
                return Result::NoRightSeam;
            }
            ++out.seams.seams;
            out.seams.frames.append(seam);
        }
        const Mp3SeamCounts counts = encoder.counts();
        out.seams.seams += counts.seams;
        out.seams.fallbacks += counts.fallbacks;
        out.seams.frames += counts.frames;
        out.frames = patchedFrames;
        out.end = patchedFirst + patchedFrames;
        return diff(patchedFirst, patched, &out.patch) ? Result::Done : Result::Failed;
    }

    // Renders the new timeline into the encoder; false with m_error when rendering failed.
    bool feed(Mp3ChunkedEncoder& encoder, qint64 from, qint64 to) {
        std::vector<qint16> samples;
        for (qint64 at = from; at < to; at += kRenderBlock) {
            const qint64 end = std::min(to, at + kRenderBlock);
            samples.resize(size_t(end - at));
            QString error;
            if (!m_render(at, end, samples.data(), &error)) {
                m_error = !error.isEmpty() ? error
                                           : QObject::tr("the new timeline could not be rendered");
                return false;
            }
            if (!encoder.write(samples.data(), end - at)) {
                return false; // the encoder's failure says why
            }
        }
        return true;
    }

    // The payload bytes before frame `seam` that the frames from it on already use.
    QByteArray tailBefore(qint64 seam) {
        const std::optional<std::vector<QByteArray>> frames =
            m_stream.frames(seam - m_stream.framesBack(), seam + 1);
        if (!frames) {
            return QByteArray();
        }
        const Mp3FramePattern& pattern = m_format.pattern;
        const int head = pattern.header().headBytes();
        const qint64 payloadEnd = pattern.payloadOffset(seam);
        const qint64 begin = m_stream.mainDataStart(seam, frames->back());
        QByteArray tail;
        qint64 index = std::max<qint64>(0, seam - m_stream.framesBack());
        for (const QByteArray& frame : *frames) {
            const qint64 payload = pattern.payloadOffset(index++);
            const qint64 from = std::max(begin, payload);
            const qint64 to = std::min(payloadEnd, payload + frame.size() - head);
            if (from < to) {
                tail.append(frame.constData() + head + (from - payload), to - from);
            }
        }
        return tail;
    }

    // The region's frames as a patch, without the bytes at either end it leaves as they were.
    bool diff(qint64 first, const QByteArray& frames, std::optional<Mp3BytePatch>* patch) {
        if (first < 0 || frames.isEmpty()) {
            return true;
        }
        const qint64 offset = m_stream.offsetOf(first);
        const std::optional<QByteArray> old = m_stream.bytes(offset, frames.size());
        if (!old) {
            return false;
        }
        *patch = changedBytes(offset, *old, frames);
        return true;
    }

    Mp3WrittenFile& m_stream;
    const Mp3StreamFormat& m_format;
    const Mp3PatchOptions& m_options;
    qint64 m_totalSamples;
    const Mp3SampleRenderer& m_render;
    int m_frameSamples;
    QString m_error;
};

// Frame ranges of the changed spans, in order, those close enough to share frames joined.
std::vector<FrameRange> changedFrames(const QList<Mp3SampleSpan>& changed, qint64 totalSamples,
                                      qint64 frames, int frameSamples, int delay, qint64 gap) {
    std::vector<FrameRange> ranges;
    for (const Mp3SampleSpan& span : changed) {
        const qint64 from = std::clamp<qint64>(span.from, 0, totalSamples);
        const qint64 to = std::clamp<qint64>(span.to, 0, totalSamples);
        if (from >= to) {
            continue;
        }
        // A sample reaches back into the frame before its own through the overlap and the
        // analysis window, and forwards into the next one; one frame more each side for safety.
        ranges.push_back({std::max<qint64>(0, (from + delay) / frameSamples - 2),
                          std::min(frames, (to - 1 + delay) / frameSamples + 3)});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const FrameRange& a, const FrameRange& b) { return a.first < b.first; });
    std::vector<FrameRange> joined;
    for (const FrameRange& range : ranges) {
        if (!joined.empty() && range.first - joined.back().end < gap) {
            joined.back().end = std::max(joined.back().end, range.end);
        } else {
            joined.push_back(range);
        }
    }
    return joined;
}

// CRC of the audio frames once the patches are applied.
std::optional<quint16> patchedMusicCrc(Mp3WrittenFile& stream, qint64 from, qint64 to,
                                       const QList<Mp3BytePatch>& patches) {
    quint16 crc = 0;
    for (qint64 at = from; at < to; at += kCrcBlock) {
        const qint64 size = std::min(kCrcBlock, to - at);
        std::optional<QByteArray> block = stream.bytes(at, size);
        if (!block) {
            return std::nullopt;
        }
        for (const Mp3BytePatch& patch : patches) {
            const qint64 start = std::max(at, patch.offset);
            const qint64 end = std::min(at + size, patch.offset + patch.bytes.size());
            for (qint64 k = start; k < end; ++k) {
                (*block)[k - at] = patch.bytes.at(k - patch.offset);
            }
        }
        crc = mp3TagCrc(block->constData(), block->size(), crc);
    }
    return crc;
}

} // namespace

Mp3SpanPatches patchMp3Spans(const QString& path, qint64 totalSamples,
                             const QList<Mp3SampleSpan>& changed, const Mp3SampleRenderer& render,
                             const Mp3PatchOptions& options) {
    Mp3SpanPatches result;
    const std::optional<Mp3StreamFormat> format =
        probeMp3Format(options.sampleRate, options.bitRate, &result.reason);
    if (!format) {
        return result;
    }
    Mp3WrittenFile stream(format->pattern);
    if (!stream.open(path)) {
        result.outcome = outcomeOf(stream.problem());
        result.reason = stream.reason();
        return result;
    }
    const Mp3InfoTag& tag = stream.tag();
    const int frameSamples = format->pattern.header().samplesPerFrame();
    const int delay = format->initialPadding - kMp3DecoderDelay;
    if (tag.encoderDelay != delay ||
        tag.frames * frameSamples - tag.encoderDelay - tag.endPadding != totalSamples) {
        result.outcome = Outcome::WholeFile;
        result.reason = QObject::tr("the MP3 file holds another length");
        return result;
    }
    const Mp3ChunkPlan& plan = options.plan;
    const qint64 gap = 4 * qint64(plan.seamReach) + plan.warmUpFrames + plan.lookaheadFrames +
                       stream.framesBack() + 2 + format->pattern.period();
    std::vector<FrameRange> ranges =
        changedFrames(changed, totalSamples, tag.frames, frameSamples, delay, gap);
    if (ranges.empty()) {
        result.outcome = Outcome::Patched;
        return result;
    }
    qint64 touched = 0;
    for (const FrameRange& range : ranges) {
        touched += range.end - range.first;
    }
    if (touched > tag.frames / 2) {
        result.outcome = Outcome::WholeFile;
        result.reason = QObject::tr("most of the MP3 file changed");
        return result;
    }
    RegionPatcher patcher(stream, *format, options, totalSamples, render);
    std::vector<RegionPatcher::Region> regions;
    for (size_t k = 0; k < ranges.size(); ++k) {
        // A region whose right seam moved into the next one's reach takes it in.
        if (!regions.empty() && ranges[k].first - patcher.leftReach() < regions.back().end) {
            ranges[k].first = ranges[k - 1].first;
            regions.pop_back();
        }
        std::optional<RegionPatcher::Region> region = patcher.patch(ranges[k]);
        if (!region) {
            result.outcome = outcomeOf(stream.problem());
            result.reason = !stream.reason().isEmpty() ? stream.reason() : patcher.error();
            return result;
        }
        regions.push_back(std::move(*region));
    }
    for (const RegionPatcher::Region& region : regions) {
        if (region.patch) {
            result.patches.append(*region.patch);
        }
        result.framesPatched += region.frames;
        result.seams.seams += region.seams.seams;
        result.seams.fallbacks += region.seams.fallbacks;
        result.seams.frames += region.seams.frames;
    }
    result.regions = int(regions.size());
    const std::optional<quint16> crc =
        patchedMusicCrc(stream, stream.offsetOf(0), stream.offsetOf(tag.frames), result.patches);
    if (!crc) {
        result.outcome = Outcome::Failed;
        result.reason = stream.reason();
        result.patches.clear();
        return result;
    }
    Mp3InfoTag patchedTag = tag;
    patchedTag.musicCrc = *crc;
    const std::optional<Mp3BytePatch> info =
        changedBytes(0, stream.infoFrame(), makeMp3InfoFrame(format->pattern, patchedTag));
    if (info) {
        result.patches.prepend(*info);
    }
    result.outcome = Outcome::Patched;
    return result;
}

} // namespace lyrane
