#include "audio/mp3_seams.h"

#include <algorithm>

namespace lyrane {

Mp3SeamAssembler::Mp3SeamAssembler(Mp3FramePacker packer, Mp3FrameSink out)
    : m_packer(std::move(packer)), m_out(std::move(out)) {}

void Mp3SeamAssembler::start(Mp3ChunkFrames chunk) {
    m_current = std::move(chunk);
    m_taken = m_packer.nextIndex();
    m_started = true;
}

namespace {

// Frames after a seam within which the later chunk's reservoir must have caught up.
constexpr qint64 kCatchUpFrames = 64;

// Whether `next`'s frames from `seam` on fit after what `packer` laid out. The encoder placed
// each frame's main data main_data_begin bytes back; once the packer leaves a frame at least
// that much, every frame after fits too, as the packer's reservoir never falls behind the
// encoder's again. Until then the frames are tried one by one.
bool fitsFrom(Mp3FramePacker packer, const Mp3ChunkFrames& next, qint64 seam) {
    for (qint64 index = seam; index < next.end() && index < seam + kCatchUpFrames; ++index) {
        if (packer.reservoir() >= next.at(index).mainDataBegin) {
            return true;
        }
        if (!packer.add(next.at(index))) {
            return false;
        }
    }
    return false;
}

bool sameFrame(const Mp3CodedFrame& a, const Mp3CodedFrame& b) {
    return a.head == b.head && a.mainData == b.mainData;
}

} // namespace

qint64 Mp3SeamAssembler::findSeam(const Mp3ChunkFrames& next, const SeamSearch& search) const {
    const qint64 first = std::max({search.first, m_taken, m_current.first + 1, next.first + 1});
    const qint64 last = std::min({search.last, m_current.end(), next.end() - 1});
    if (first > last) {
        return -1;
    }
    // Tried on a copy, so a seam that does not work leaves nothing behind.
    Mp3FramePacker trial = m_packer;
    for (qint64 index = m_taken; index < first; ++index) {
        if (!trial.add(m_current.at(index))) {
            return -1;
        }
    }
    // Best is a seam where both made the same frames: their encoders have come to the same
    // state, so the stream is what one encoder would have made. Else, near the nominal frame,
    // the one between the frames with the least main data: the quietest, where what two
    // encoders make differs least.
    qint64 converged = -1;
    qint64 quietest = -1;
    qint64 quietestCost = 0;
    for (qint64 seam = first;; ++seam) {
        const bool same = seam < m_current.end() && sameFrame(m_current.at(seam), next.at(seam)) &&
                          sameFrame(m_current.at(seam - 1), next.at(seam - 1));
        const qint64 cost = m_current.at(seam - 1).mainData.size() + next.at(seam).mainData.size();
        const bool wanted =
            same ? (converged < 0 || search.latest)
                 : seam <= search.nearLast && (quietest < 0 || cost < quietestCost ||
                                               (cost == quietestCost && search.latest));
        // The decoder's overlap-add carries on only within one window sequence.
        if (wanted && m_current.at(seam - 1).lastBlockTypes == next.at(seam - 1).lastBlockTypes &&
            (search.kept ? trial.freeBytes() >= next.at(seam).mainDataBegin
                         : fitsFrom(trial, next, seam))) {
            if (same && !search.latest) {
                return seam;
            }
            (same ? converged : quietest) = seam;
            quietestCost = same ? quietestCost : cost;
        }
        if (seam == last || !trial.add(m_current.at(seam))) {
            return converged >= 0 ? converged : quietest;
        }
    }
}

Mp3SeamAssembler::Join Mp3SeamAssembler::join(Mp3ChunkFrames next, qint64 nominal, int reach) {
    const qint64 seam =
        findSeam(next, {nominal - reach, nominal + reach, nominal + reach, false, true});
    if (seam < 0) {
        return Join::NoSeam;
    }
    if (!layOut(seam)) {
        return Join::Failed;
    }
    m_current = std::move(next);
    m_taken = seam;
    return Join::Joined;
}

bool Mp3SeamAssembler::lay(const Mp3CodedFrame& frame) {
    if (!m_packer.add(frame)) {
        m_failed = true;
        return false;
    }
    return deliver();
}

bool Mp3SeamAssembler::finishStream() {
    if (!layOut(m_current.end())) {
        return false;
    }
    m_packer.finish();
    return deliver();
}

qint64 Mp3SeamAssembler::finishBefore(const Mp3ChunkFrames& kept, qint64 first, qint64 nearLast,
                                      const std::function<QByteArray(qint64 seam)>& tailBefore) {
    const qint64 seam = findSeam(kept, {first, kept.end() - 1, nearLast, true, false});
    if (seam < 0) {
        return -1;
    }
    if (!layOut(seam) || !m_packer.finishBefore(tailBefore(seam)) || !deliver()) {
        m_failed = true;
        return -1;
    }
    return seam;
}

bool Mp3SeamAssembler::layOut(qint64 end) {
    for (; m_taken < end; ++m_taken) {
        if (!m_packer.add(m_current.at(m_taken))) {
            m_failed = true;
            return false;
        }
    }
    return deliver();
}

bool Mp3SeamAssembler::deliver() {
    qint64 index = m_packer.firstUntakenIndex();
    for (const QByteArray& frame : m_packer.takeFinished()) {
        if (!m_out(index++, frame)) {
            m_failed = true;
            return false;
        }
    }
    return true;
}

} // namespace lyrane
