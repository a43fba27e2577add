#pragma once

#include <QList>
#include <QString>
#include <QTime>

#include <optional>

namespace lyrane {

struct VttCue {
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString text;    // the words to speak, markup removed
    QString speaker; // the name in the cue's opening voice span (<v Anna>), empty without one

    QTime startTime() const;
    QTime endTime() const;
};

// Reads WebVTT and SRT subtitles into cues; see subtitle_file.h for the details of each form.
class VttParser {
public:
    // A WebVTT or SRT file, told apart by its header, its name and its first lines.
    std::optional<QList<VttCue>> parse(const QString& path, QString* error) const;
    // WebVTT text.
    std::optional<QList<VttCue>> parseContent(const QString& content, QString* error) const;
    std::optional<qint64> parseTimestamp(const QString& timestamp, QString* error) const;
    // One line of cue text reduced to plain words.
    QString extractText(const QString& line) const;
};

} // namespace lyrane
