#pragma once

// An MP3 file this program's writer made, read a few frames at a time where a patch needs
// them: its Info tag, whole frames checked against the places the padding pattern gives them,
// and frames taken apart with their main data.

#include "audio/mp3_info_tag.h"
#include "audio/mp3_seams.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

namespace lyrane {

class Mp3WrittenFile {
public:
    explicit Mp3WrittenFile(const Mp3FramePattern& pattern);

    // Reads the Info frame and checks the file's size against it.
    bool open(const QString& path);

    enum class Problem {
        None,
        NotOurs,    // no Info tag, another layout, frames not where the tag puts them
        Unreadable, // the system could not read it
    };
    Problem problem() const { return m_problem; }
    const QString& reason() const { return m_reason; }

    const Mp3InfoTag& tag() const { return m_tag; }
    const QByteArray& infoFrame() const { return m_info; }
    // Frames before a frame whose payload its main data may reach into, and one more.
    qint64 framesBack() const { return m_framesBack; }
    qint64 offsetOf(qint64 frame) const {
        return m_pattern.unpaddedFrameBytes() + m_pattern.frameOffset(frame);
    }

    std::optional<QByteArray> bytes(qint64 offset, qint64 size);
    // Whole frames [from, to) (from at least 0), each checked against the size and padding
    // of its place.
    std::optional<std::vector<QByteArray>> frames(qint64 from, qint64 to);
    // Frames [from, to) taken apart, their main data found in the frames before.
    std::optional<Mp3ChunkFrames> coded(qint64 from, qint64 to);
    // Where the main data of frame `index` (its bytes `frame`) begins, as a payload position.
    qint64 mainDataStart(qint64 index, const QByteArray& frame) const;

private:
    bool fail(Problem problem, const QString& reason);

    const Mp3FramePattern& m_pattern;
    QFile m_file;
    QByteArray m_info;
    Mp3InfoTag m_tag;
    qint64 m_framesBack = 2;
    Problem m_problem = Problem::None;
    QString m_reason;
};

} // namespace lyrane
