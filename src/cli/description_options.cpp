#include "cli/description_options.h"

#include "audio/output_kind.h"
#include "runs/console.h"

#include <QFileInfo>
#include <QObject>

namespace lyrane {

std::optional<QString> takeDescriptionOptions(const QCommandLineParser& parser,
                                              const OptionTable& options,
                                              RunConfiguration* config) {
    TimelineSettings& timeline = config->timeline;
    timeline.dialogueFile = parser.value(options.dialogue);
    timeline.strictFit = parser.isSet(options.strictFit);
    timeline.extended = parser.isSet(options.extended);
    timeline.timeMapFile = parser.value(options.timeMap);
    ProgrammeMixSettings& mix = timeline.programme;
    mix.described = parser.isSet(options.described);

    if (parser.isSet(options.dialogue) && timeline.dialogueFile.isEmpty()) {
        return QObject::tr("--dialogue needs a subtitle file\n");
    }
    if (!timeline.dialogueFile.isEmpty() && config->mode != RunMode::Subtitles) {
        return QObject::tr("--dialogue is only supported with --vtt\n");
    }
    for (const QCommandLineOption* companion :
         {&options.maxShift, &options.strictFit, &options.extended}) {
        if (parser.isSet(*companion) && timeline.dialogueFile.isEmpty()) {
            return QObject::tr("--%1 needs --dialogue\n").arg(companion->names().first());
        }
    }
    if (parser.isSet(options.timeMap) && !timeline.extended) {
        return QObject::tr("--time-map needs --extended\n");
    }
    if (parser.isSet(options.timeMap) && timeline.timeMapFile.isEmpty()) {
        return QObject::tr("--time-map needs a file name\n");
    }
    if (timeline.extended) {
        if (mix.programmePath.isEmpty()) {
            return QObject::tr("--extended needs --mix-with a video programme\n");
        }
        const std::optional<MixedOutputKind> kind = mixedOutputKindForPath(config->outputFile);
        if (!kind || *kind != MixedOutputKind::Video) {
            return QObject::tr("--extended needs a video output (.mp4, .mov or .mkv): the "
                               "programme's picture pauses with the description\n");
        }
    }
    if (mix.described) {
        // Only containers with track flags can say what the track is.
        const std::optional<MixedOutputKind> kind = mixedOutputKindForPath(config->outputFile);
        if (!kind || *kind == MixedOutputKind::Wav || *kind == MixedOutputKind::Mp3) {
            return QObject::tr("--described needs an .mp4, .mov, .mkv or .m4a output: a WAV or "
                               "MP3 file cannot flag its track as audio description\n");
        }
        if (mix.programmePath.isEmpty()) {
            return QObject::tr("--described needs --mix-with\n");
        }
        // FFmpeg writes a track's kind in MP4 files only; QuickTime keeps the title alone.
        if (QFileInfo(config->outputFile)
                .suffix()
                .compare(QLatin1String("mov"), Qt::CaseInsensitive) == 0) {
            printError(QObject::tr("A .mov file cannot carry the audio description flag: the "
                                   "track is marked by its title only (.mp4 and .mkv carry it)\n"));
        }
        if (!parser.isSet(options.audioTitle)) {
            mix.audioTitle = QStringLiteral("Audio Description");
        }
    }
    return std::nullopt;
}

} // namespace lyrane
