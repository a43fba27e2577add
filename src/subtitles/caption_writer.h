#pragma once

#include <QList>
#include <QSaveFile>
#include <QString>

#include <optional>

namespace lyrane {

enum class CaptionFormat { WebVtt, Srt };

// By the file's extension, in any letter case: ".vtt" or ".srt"; nullopt for anything else.
std::optional<CaptionFormat> captionFormatForPath(const QString& path);

// A word of a cue and where it is spoken.
struct CaptionWord {
    QString text;
    qint64 startMs = 0;
};

struct CaptionCue {
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString text;    // as spoken
    QString speaker; // empty when none; written as a voice span in WebVTT
    // When given, WebVTT writes these instead of the text, each after its inline timestamp;
    // SRT keeps the text.
    QList<CaptionWord> words;
};

// Where a cue's narration plays: the clip's actual start and end on the timeline, and how far
// it was pushed back from its cue's start.
struct CaptionPlacement {
    qint64 clipStartMs = 0;
    qint64 clipEndMs = 0;
    qint64 delayMs = 0;
};

// A cue retimed to where its narration plays: from the clip's start to the later of the clip's
// end and the cue's own end moved by the same delay. Text and speaker are kept.
CaptionCue retimedCaption(const CaptionCue& cue, const CaptionPlacement& placement);

// One cue as it is written, including the blank line that ends it. `number` counts from 1 and
// is written in SRT only.
QString captionCueText(const CaptionCue& cue, CaptionFormat format, qint64 number);

// Writes captions one cue at a time to a temporary file that replaces `path` on commit(), so the
// file is whole or absent and memory does not grow with the number of cues.
class CaptionWriter {
public:
    explicit CaptionWriter(const QString& path);

    // Fails for a name that ends in neither .vtt nor .srt, or a file that cannot be created.
    bool open(QString* error);
    bool write(const CaptionCue& cue, QString* error);
    bool commit(QString* error);

private:
    bool writeText(const QString& text, QString* error);

    QSaveFile file;
    CaptionFormat format = CaptionFormat::WebVtt;
    qint64 written = 0;
};

// All of `cues` in one go, as CaptionWriter writes them.
bool writeCaptions(const QString& path, const QList<CaptionCue>& cues, QString* error);

} // namespace lyrane
