#pragma once

#include "subtitles/subtitle_file.h"

#include <QString>
#include <QStringList>

namespace lyrane::test {

// What reading a file gives, one string each: "start|end|text[|speaker]" per cue, then
// "~ notice" per notice; or "! error" alone. "$FILE" stands for the file's path.
inline QStringList readOutcome(const QString& path, const SubtitleReadingOptions& options) {
    QString error;
    const std::optional<SubtitleFile> file = readSubtitleFile(path, QString(), options, &error);
    if (!file) {
        return {QStringLiteral("! ") + error.replace(path, QLatin1String("$FILE"))};
    }
    QStringList out;
    for (const Cue& cue : file->cues) {
        out << QStringLiteral("%1|%2|%3").arg(cue.startMs).arg(cue.endMs).arg(cue.text) +
                   (cue.speaker.isEmpty() ? QString() : QLatin1Char('|') + cue.speaker);
    }
    for (QString notice : file->notices) {
        out << QStringLiteral("~ ") + notice.replace(path, QLatin1String("$FILE"));
    }
    return out;
}

// Reading options as the command line would give them; an origin needs the rate.
inline SubtitleReadingOptions readingOptions(const QString& rate, const QString& origin) {
    SubtitleReadingOptions options;
    options.frameRate = parseFrameRate(rate);
    if (options.frameRate && !origin.isEmpty()) {
        options.timecodeOrigin = readTimecode(origin, *options.frameRate, nullptr);
    }
    return options;
}

} // namespace lyrane::test
