#include "cli/option_table.h"

#include "audio/loudness_preset.h"
#include "audio/output_kind.h"
#include "cli/options.h"
#include "cli/s3_client_options.h"
#include "cli/text_file.h"
#include "runs/console.h"
#include "runs/voice_map.h"
#include "subtitles/caption_writer.h"
#include "subtitles/lexicon.h"
#include "subtitles/smpte_timecode.h"
#include "subtitles/speakers.h"
#include "subtitles/text_decoding.h"
#include "synthesis/cost_estimate.h"
#include "synthesis/output_formats.h"
#include "synthesis/voice_settings.h"

#include <QFileInfo>
#include <QObject>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <limits>

namespace lyrane {

namespace {

constexpr int kMaxInt = std::numeric_limits<int>::max();

using Reader = OptionRow::Reader;
using Check = OptionRow::Check;

QCommandLineOption named(const QStringList& names, const QString& help,
                         const QString& valueName = QString()) {
    return QCommandLineOption(names, help, valueName);
}

OptionRow row(const QStringList& names, const QString& help, const QString& valueName, Reader read,
              const QString& refusal = QString(), QList<Check> checks = {}) {
    return {named(names, help, valueName), std::move(read), refusal, {}, std::move(checks)};
}

// A value stored as given.
OptionRow text(const QStringList& names, const QString& help, const QString& valueName,
               std::function<void(OptionContext&, const QString&)> store,
               QList<Check> checks = {}) {
    return row(
        names, help, valueName,
        [store](const QString& value, OptionContext& context, QString*) {
            store(context, value);
            return true;
        },
        QString(), std::move(checks));
}

// An option without a value.
OptionRow flag(const QStringList& names, const QString& help,
               std::function<void(OptionContext&)> set, QList<Check> checks = {}) {
    return row(
        names, help, QString(),
        [set](const QString&, OptionContext& context, QString*) {
            set(context);
            return true;
        },
        QString(), std::move(checks));
}

// An option read by another row's reader.
OptionRow readElsewhere(const QStringList& names, const QString& help,
                        const QString& valueName = QString()) {
    return {named(names, help, valueName), nullptr, QString(), {}, {}};
}

// A whole number from `min` to `max`.
OptionRow integerBetween(const QStringList& names, const QString& help, const QString& valueName,
                         int min, int max, std::function<void(RunConfiguration&, int)> store,
                         const QString& refusal, QList<Check> checks = {}) {
    return row(
        names, help, valueName,
        [=](const QString& value, OptionContext& context, QString*) {
            bool ok = false;
            const int number = value.toInt(&ok);
            if (!ok || number < min || number > max) {
                return false;
            }
            store(context.config, number);
            return true;
        },
        refusal, std::move(checks));
}

// A number from `min` to `max`.
OptionRow numberBetween(const QStringList& names, const QString& help, const QString& valueName,
                        double min, double max,
                        std::function<void(RunConfiguration&, double)> store,
                        const QString& refusal, QList<Check> checks = {}) {
    return row(
        names, help, valueName,
        [=](const QString& value, OptionContext& context, QString*) {
            bool ok = false;
            const double number = value.toDouble(&ok);
            if (!ok || !(number >= min && number <= max)) {
                return false;
            }
            store(context.config, number);
            return true;
        },
        refusal, std::move(checks));
}

// The row, read at `order` among the others.
OptionRow readAt(int order, OptionRow option) {
    option.readOrder = order;
    return option;
}

// A row read also when not given, with what the environment says.
OptionRow fromEnvironment(OptionRow option, std::function<QString(const Environment&)> value) {
    option.whenAbsent = std::move(value);
    return option;
}

// Refuses the option, when given, in runs other than `mode`.
Check onlyIn(const QString& name, RunMode mode, const QString& refusal) {
    return [name, mode, refusal](const OptionContext& context) -> std::optional<QString> {
        if (context.isSet(name) && context.config.mode != mode) {
            return refusal;
        }
        return std::nullopt;
    };
}

// Refuses the option, when given, unless `holds` does.
Check needs(const QString& name, std::function<bool(const RunConfiguration&)> holds,
            const QString& refusal) {
    return [name, holds, refusal](const OptionContext& context) -> std::optional<QString> {
        if (context.isSet(name) && !holds(context.config)) {
            return refusal;
        }
        return std::nullopt;
    };
}

// The companions of --mix-with say so by their own name.
Check needsProgramme(const QString& name) {
    return needs(
        name,
        [](const RunConfiguration& c) { return !c.timeline.programme.programmePath.isEmpty(); },
        QObject::tr("--%1 needs --mix-with\n").arg(name));
}

Check needsDialogue(const QString& name) {
    return needs(
        name, [](const RunConfiguration& c) { return !c.timeline.dialogueFile.isEmpty(); },
        QObject::tr("--%1 needs --dialogue\n").arg(name));
}

// Scripts are read by subtitle runs and batches.
Check readsScripts(const QString& name) {
    return [name](const OptionContext& context) -> std::optional<QString> {
        const RunMode mode = context.config.mode;
        if (context.isSet(name) && mode != RunMode::Subtitles && mode != RunMode::Batch) {
            return QObject::tr("--%1 is only supported with --vtt or --batch\n").arg(name);
        }
        return std::nullopt;
    };
}

// Outputs made from one subtitle file's timeline, which --no-padding never lays out.
QList<Check> writesFromTimeline(const QString& name) {
    return {
        onlyIn(name, RunMode::Subtitles,
               QObject::tr("--%1 is only supported with --vtt\n").arg(name)),
        needs(
            name, [](const RunConfiguration& c) { return !c.noPadding; },
            QObject::tr("--%1 needs the narration's timeline: not with --no-padding\n").arg(name))};
}

// The language names the mixed track and the DAPT script.
std::optional<QString> languageHolds(const OptionContext& context) {
    const RunConfiguration& config = context.config;
    if (context.isSet(QStringLiteral("audio-language")) &&
        config.timeline.programme.programmePath.isEmpty() && config.exchange.daptFile.isEmpty()) {
        return QObject::tr("--audio-language needs --mix-with or --dapt-out\n");
    }
    return std::nullopt;
}

QString frameRateHelp() {
    return QObject::tr("Frame rate of the timecodes in scripts (%1)").arg(knownFrameRates());
}

QString frameRateRefusal() {
    return QObject::tr("--frame-rate must be one of %1\n").arg(knownFrameRates());
}

bool readFrameRate(const QString& value, OptionContext& context, QString*) {
    context.config.exchange.reading.frameRate = parseFrameRate(value);
    return context.config.exchange.reading.frameRate.has_value();
}

// The origin is a timecode at the rate --frame-rate gives, read before it.
bool readTimecodeOrigin(const QString& value, OptionContext& context, QString* message) {
    SubtitleReadingOptions& reading = context.config.exchange.reading;
    if (!reading.frameRate) {
        *message = QObject::tr("--timecode-origin needs --frame-rate\n");
        return false;
    }
    QString error;
    reading.timecodeOrigin = readTimecode(value, *reading.frameRate, &error);
    if (!reading.timecodeOrigin) {
        *message = QObject::tr("--timecode-origin: %1\n").arg(error);
        return false;
    }
    return true;
}

bool readDaptFile(const QString& value, OptionContext& context, QString*) {
    context.config.exchange.daptFile = value;
    return !value.isEmpty();
}

bool readStemsDirectory(const QString& value, OptionContext& context, QString*) {
    context.config.exchange.stemsDirectory = value;
    return !value.isEmpty();
}

bool videoOutput(const RunConfiguration& config) {
    const std::optional<MixedOutputKind> kind = mixedOutputKindForPath(config.outputFile);
    return kind && *kind == MixedOutputKind::Video;
}

// The context sent before or after --say / --text: as given, or from a file, not both.
OptionRow contextFile(const QString& name, const QString& given, const QString& help,
                      QString SingleTextInput::*target) {
    return row(
        {name}, help, QStringLiteral("file"),
        [given, target, name](const QString& value, OptionContext& context, QString* message) {
            if (context.isSet(given)) {
                *message =
                    QObject::tr("only one of --%1 or --%2 may be provided\n").arg(given, name);
                return false;
            }
            QString error;
            context.config.single.*target = readUtf8TextFile(value, &error);
            if (!error.isEmpty()) {
                *message = error + QLatin1Char('\n');
                return false;
            }
            return true;
        });
}

// The model and the voice's settings are read together, from their own options.
bool readVoiceSettings(const QString&, OptionContext& context, QString* message) {
    const QCommandLineParser& parser = context.parser;
    const auto given = [&parser](const char* name) {
        const QString option = QLatin1String(name);
        return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
    };
    VoiceSettingArguments arguments;
    arguments.model = given("model");
    arguments.modelEnvironment = context.environment.model;
    arguments.language = given("language");
    arguments.stability = given("stability");
    arguments.similarity = given("similarity");
    arguments.style = given("style");
    arguments.seed = given("seed");
    arguments.speakerBoost = parser.isSet(QStringLiteral("speaker-boost"));
    arguments.dictionaries = parser.values(QStringLiteral("pronunciation-dictionary"));
    arguments.normalize = given("normalize");
    QString warning;
    std::optional<VoiceSettings> settings = parseVoiceSettings(arguments, message, &warning);
    if (!settings) {
        return false;
    }
    if (!warning.isEmpty()) {
        printError(warning);
    }
    context.config.synthesis.voiceSettings = std::move(*settings);
    return true;
}

// A preset fills in the target and the ceiling the command line leaves unset.
bool readLoudnessPreset(const QString& value, OptionContext& context, QString*) {
    const std::optional<LoudnessPreset> preset = findLoudnessPreset(value);
    if (!preset) {
        return false;
    }
    TimelineSettings& timeline = context.config.timeline;
    timeline.loudnessPreset = preset->name;
    if (!context.isSet(QStringLiteral("loudness"))) {
        timeline.loudnessLufs = preset->targetLufs;
    }
    if (!context.isSet(QStringLiteral("true-peak"))) {
        timeline.truePeakDbtp = preset->truePeakDbtp;
    }
    return true;
}

// Only containers with track flags can say what the track is.
std::optional<QString> describedTrackHolds(const OptionContext& context) {
    if (!context.isSet(QStringLiteral("described"))) {
        return std::nullopt;
    }
    const std::optional<MixedOutputKind> kind = mixedOutputKindForPath(context.config.outputFile);
    if (!kind || *kind == MixedOutputKind::Wav || *kind == MixedOutputKind::Mp3) {
        return QObject::tr("--described needs an .mp4, .mov, .mkv or .m4a output: a WAV or MP3 "
                           "file cannot flag its track as audio description\n");
    }
    if (context.config.timeline.programme.programmePath.isEmpty()) {
        return QObject::tr("--described needs --mix-with\n");
    }
    // FFmpeg writes a track's kind in MP4 files only; QuickTime keeps the title alone.
    if (QFileInfo(context.config.outputFile)
            .suffix()
            .compare(QLatin1String("mov"), Qt::CaseInsensitive) == 0) {
        printError(QObject::tr("A .mov file cannot carry the audio description flag: the track is "
                               "marked by its title only (.mp4 and .mkv carry it)\n"));
    }
    return std::nullopt;
}

} // namespace

QList<OptionRow> optionTable() {
    const auto sets = [](auto member) {
        return [member](OptionContext& context, const QString& value) {
            context.config.*member = value;
        };
    };
    const auto onlyWithVtt = [](const QString& name, const QString& refusal) {
        return onlyIn(name, RunMode::Subtitles, refusal);
    };
    QList<OptionRow> rows{
        text({QStringLiteral("vtt")}, QObject::tr("Subtitle file to process (WebVTT or SRT)"),
             QStringLiteral("file"),
             [](OptionContext& c, const QString& v) { c.mode.vttFile = v; }),
        text({QStringLiteral("say")}, QObject::tr("Text to speak instead of providing a VTT file"),
             QStringLiteral("text"),
             [](OptionContext& c, const QString& v) { c.mode.sayText = v; }),
        text({QStringLiteral("text")},
             QObject::tr("Plain text file to speak instead of providing a VTT file"),
             QStringLiteral("file"),
             [](OptionContext& c, const QString& v) { c.mode.textFile = v; }),
        fromEnvironment(
            text(
                {QStringLiteral("d"), QStringLiteral("voice")},
                QObject::tr("Voice name (Miravel, Dostan, Brenn, Ottaline) or ElevenLabs voice ID"),
                QStringLiteral("name"),
                [](OptionContext& c, const QString& v) { c.config.synthesis.voice = v; }),
            [](const Environment& environment) {
                return environment.defaultVoice.isEmpty() ? QStringLiteral("Brenn")
                                                          : environment.defaultVoice;
            }),
        text({QStringLiteral("k"), QStringLiteral("key-file")},
             QObject::tr("File containing ElevenLabs API key"), QStringLiteral("file"),
             sets(&RunConfiguration::apiKeyFile)),
        text({QStringLiteral("t"), QStringLiteral("temp-dir")},
             QObject::tr("Temporary directory for audio segments"), QStringLiteral("dir"),
             sets(&RunConfiguration::cacheDirectory)),
        readAt(10, integerBetween(
                       {QStringLiteral("l"), QStringLiteral("limit")},
                       QObject::tr("Limit number of segments to process (0 for unlimited)"),
                       QStringLiteral("count"), 0, kMaxInt,
                       [](RunConfiguration& c, int v) { c.limit = v; },
                       QObject::tr("--limit must be zero or positive\n"))),
        readAt(40, row(
                       {QStringLiteral("p"), QStringLiteral("padding")},
                       QObject::tr(
                           "Extra padding to add to the end of the output audio (e.g. '5s', '1m')"),
                       QStringLiteral("duration"),
                       [](const QString& value, OptionContext& context, QString*) {
                           const std::optional<int> padding = parseDurationMs(value);
                           context.config.timeline.paddingMs = padding.value_or(0);
                           return padding.has_value();
                       },
                       QObject::tr("--padding must be a duration such as 500ms, 5s or 1m30s\n"))),
        flag({QStringLiteral("a"), QStringLiteral("autopad")},
             QObject::tr(
                 "Automatically calculate and add sufficient padding to fit all audio segments"),
             [](OptionContext& c) { c.config.timeline.autopad = true; }),
        flag({QStringLiteral("autospeed")},
             QObject::tr("Automatically speed up segments that are too long"),
             [](OptionContext& c) { c.config.timeline.autospeed = true; }),
        readAt(20, numberBetween(
                       {QStringLiteral("S"), QStringLiteral("speed")},
                       QObject::tr("Default speed for all segments (range: 0.7-1.2)"),
                       QStringLiteral("value"), 0.7, 1.2,
                       [](RunConfiguration& c, double v) { c.synthesis.speed = v; },
                       QObject::tr("--speed must be between 0.7 and 1.2\n"))),
        text({QStringLiteral("o"), QStringLiteral("output")}, QObject::tr("Output audio file"),
             QStringLiteral("file"), sets(&RunConfiguration::outputFile)),
        flag({QStringLiteral("n"), QStringLiteral("dry-run")},
             QObject::tr("Display segments information without processing"),
             [](OptionContext& c) { c.config.dryRun = true; }),
        flag({QStringLiteral("no-padding")},
             QObject::tr("Skip mixing and only generate individual segment files"),
             [](OptionContext& c) { c.config.noPadding = true; }),
        flag({QStringLiteral("cache-only")}, QObject::tr("Print cache directory path and exit"),
             [](OptionContext& c) { c.mode.cacheOnly = true; }),
        text({QStringLiteral("batch")},
             QObject::tr(
                 "Process multiple VTT files (comma-separated paths, or @FILE with one a line)"),
             QStringLiteral("files"),
             [](OptionContext& c, const QString& v) { c.mode.batchFiles = v; }),
        fromEnvironment(
            text({QStringLiteral("s"), QStringLiteral("s3-bucket")},
                 QObject::tr("S3 bucket for caching audio segments (defaults to LYRANE_S3_BUCKET; "
                             "requires aws CLI)"),
                 QStringLiteral("bucket"), sets(&RunConfiguration::s3Bucket)),
            [](const Environment& environment) { return environment.s3Bucket; }),
        // Sent as given: the service reads the name without regard to case. LYRANE_FORMAT is for
        // accounts whose plan refuses the default PCM format.
        readAt(30, fromEnvironment(
                       row(
                           {QStringLiteral("f"), QStringLiteral("format")},
                           QObject::tr("Output format for ElevenLabs API (pcm_44100, pcm_24000, "
                                       "mp3_44100_128, wav_24000, ...; defaults to LYRANE_FORMAT)"),
                           QStringLiteral("format"),
                           [](const QString& value, OptionContext& context, QString*) {
                               context.config.synthesis.outputFormat = value;
                               return parseOutputFormat(value).has_value();
                           },
                           outputFormatRefusal()),
                       [](const Environment& environment) {
                           return environment.format.isEmpty()
                                      ? RunConfiguration().synthesis.outputFormat
                                      : environment.format;
                       })),
        text(
            {QStringLiteral("previous-text")},
            QObject::tr("Previous segment text to send as ElevenLabs context for --say/--text"),
            QStringLiteral("text"),
            [](OptionContext& c, const QString& v) { c.config.single.previousText = v.trimmed(); }),
        contextFile(QStringLiteral("previous-text-file"), QStringLiteral("previous-text"),
                    QObject::tr("File containing previous segment text for ElevenLabs context"),
                    &SingleTextInput::previousText),
        text({QStringLiteral("next-text")},
             QObject::tr("Next segment text to send as ElevenLabs context for --say/--text"),
             QStringLiteral("text"),
             [](OptionContext& c, const QString& v) { c.config.single.nextText = v.trimmed(); }),
        contextFile(QStringLiteral("next-text-file"), QStringLiteral("next-text"),
                    QObject::tr("File containing next segment text for ElevenLabs context"),
                    &SingleTextInput::nextText),
        readAt(50, integerBetween(
                       {QStringLiteral("j"), QStringLiteral("jobs")},
                       QObject::tr("Number of segments to work on at once (1-16)"),
                       QStringLiteral("count"), 1, 16,
                       [](RunConfiguration& c, int v) { c.synthesis.jobs = v; },
                       QObject::tr("--jobs must be between 1 and 16\n"))),
        readAt(60, integerBetween(
                       {QStringLiteral("retries")},
                       QObject::tr("Retries of a synthesis request after a transient failure "
                                   "(0-10)"),
                       QStringLiteral("count"), 0, 10,
                       [](RunConfiguration& c, int v) { c.synthesis.retries = v; },
                       QObject::tr("--retries must be between 0 and 10\n"))),
        readAt(70, numberBetween(
                       {QStringLiteral("timeout")},
                       QObject::tr("Seconds without progress before a request or aws call fails (0 "
                                   "for none)"),
                       QStringLiteral("seconds"), 0, std::numeric_limits<double>::max(),
                       [](RunConfiguration& c, double seconds) {
                           // Beyond what a millisecond int holds is as good as no limit.
                           const double ms = std::ceil(seconds * 1000.0);
                           c.synthesis.timeoutMs = ms > kMaxInt ? 0 : static_cast<int>(ms);
                       },
                       QObject::tr("--timeout must be zero or positive\n"))),
        readAt(80,
               row(
                   {QStringLiteral("encoding")},
                   QObject::tr(
                       "Character encoding of subtitle files without a byte-order mark (default "
                       "UTF-8; e.g. windows-1252, iso-8859-6)"),
                   QStringLiteral("name"),
                   [](const QString& value, OptionContext& context, QString*) {
                       context.config.encoding = value;
                       return isKnownTextEncoding(value);
                   },
                   QObject::tr(
                       "--encoding must name a character encoding known to the system, such as "
                       "windows-1252\n"))),
        flag({QStringLiteral("no-credit-check")},
             QObject::tr("Do not read the account's credits before synthesizing"),
             [](OptionContext& c) { c.config.creditCheck = false; }),
        readAt(210, row({QStringLiteral("max-credits")},
                        QObject::tr(
                            "Refuse to start a run (or batch) estimated to cost more credits than "
                            "this"),
                        QStringLiteral("count"),
                        [](const QString& value, OptionContext& context, QString* message) {
                            context.config.maxCredits = parseMaxCredits(value, message);
                            return context.config.maxCredits.has_value();
                        })),
        text({QStringLiteral("report")},
             QObject::tr(
                 "Write a JSON record of the run (settings, every cue, totals) to this file"),
             QStringLiteral("file"), sets(&RunConfiguration::reportFile)),
        readAt(230, row({QStringLiteral("captions-out")},
                        QObject::tr(
                            "Write the cues retimed to where their narration plays (.vtt or .srt)"),
                        QStringLiteral("file"),
                        [](const QString& value, OptionContext& context, QString*) {
                            context.config.captionsFile = value;
                            return value.isEmpty() || captionFormatForPath(value).has_value();
                        },
                        QObject::tr("--captions-out must name a .vtt or .srt file\n"),
                        // Captions follow one subtitle file's timeline.
                        {[](const OptionContext& context) -> std::optional<QString> {
                            if (!context.config.captionsFile.isEmpty() &&
                                context.config.mode != RunMode::Subtitles) {
                                return QObject::tr("--captions-out is only supported with --vtt\n");
                            }
                            return std::nullopt;
                        }})),
        readAt(180,
               row({QStringLiteral("voices")},
                   QObject::tr(
                       "Voice per speaker: Name=Voice pairs separated by commas, or @FILE with "
                       "one pair a line; other cues use --voice"),
                   QStringLiteral("map"),
                   [](const QString& value, OptionContext& context, QString* message) {
                       std::optional<VoiceMap> map = VoiceMap::parse(value, message);
                       if (map) {
                           context.config.speakers.voices = std::move(*map);
                       }
                       return map.has_value();
                   })),
        readAt(190, row(
                        {QStringLiteral("speaker-labels")},
                        QObject::tr(
                            "Whether a label such as 'ANNA:' or '[Anna]' starting a cue names its "
                            "speaker (on, off)"),
                        QStringLiteral("on|off"),
                        [](const QString& value, OptionContext& context, QString*) {
                            const std::optional<SpeakerLabels> labels = parseSpeakerLabels(value);
                            context.config.speakers.labels = labels.value_or(SpeakerLabels::On);
                            return labels.has_value();
                        },
                        QObject::tr("--speaker-labels must be on or off\n"))),
        // Read whether given or not: the model may come from LYRANE_MODEL.
        readAt(200,
               fromEnvironment(row({QStringLiteral("model")},
                                   QObject::tr("ElevenLabs model (defaults to LYRANE_MODEL, else "
                                               "eleven_multilingual_v2)"),
                                   QStringLiteral("id"), readVoiceSettings),
                               [](const Environment&) { return QString(); })),
        readElsewhere({QStringLiteral("language")},
                      QObject::tr("Language code sent with each request (two or three lower-case "
                                  "letters)"),
                      QStringLiteral("code")),
        readElsewhere({QStringLiteral("stability")}, QObject::tr("Voice stability (range: 0-1)"),
                      QStringLiteral("value")),
        readElsewhere({QStringLiteral("similarity")},
                      QObject::tr("Voice similarity boost (range: 0-1)"), QStringLiteral("value")),
        readElsewhere({QStringLiteral("style")},
                      QObject::tr("Voice style exaggeration (range: 0-1)"),
                      QStringLiteral("value")),
        readElsewhere({QStringLiteral("speaker-boost")},
                      QObject::tr("Ask the service for speaker boost")),
        readElsewhere({QStringLiteral("seed")},
                      QObject::tr("Seed for repeatable synthesis (range: 0-4294967295)"),
                      QStringLiteral("number")),
        flag({QStringLiteral("list-voices")},
             QObject::tr("List the voices of the ElevenLabs account and exit"),
             [](OptionContext& c) { c.mode.listVoices = true; }),
        readAt(90, numberBetween(
                       {QStringLiteral("loudness")},
                       QObject::tr("Bring the output to this integrated loudness (-70 to -5 LUFS)"),
                       QStringLiteral("LUFS"), -70.0, -5.0,
                       [](RunConfiguration& c, double v) { c.timeline.loudnessLufs = v; },
                       QObject::tr("--loudness must be between -70 and -5\n"))),
        readAt(115, numberBetween(
                        {QStringLiteral("true-peak")},
                        QObject::tr("Ceiling on the output's true peak with --loudness (-20 to 0 "
                                    "dBTP)"),
                        QStringLiteral("dBTP"), -20.0, 0.0,
                        [](RunConfiguration& c, double v) { c.timeline.truePeakDbtp = v; },
                        QObject::tr("--true-peak must be between -20 and 0\n"),
                        {needs(
                            QStringLiteral("true-peak"),
                            [](const RunConfiguration& c) {
                                return c.timeline.loudnessLufs.has_value();
                            },
                            QObject::tr("--true-peak is only supported with --loudness\n"))})),
        text({QStringLiteral("mix-with")},
             QObject::tr("Video or audio file to mix the narration over (the programme)"),
             QStringLiteral("file"),
             [](OptionContext& c, const QString& v) {
                 c.config.timeline.programme.programmePath = v;
             },
             {[](const OptionContext& context) -> std::optional<QString> {
                 const RunConfiguration& config = context.config;
                 if (config.timeline.programme.programmePath.isEmpty()) {
                     if (isVideoOutputPath(config.outputFile)) {
                         return QObject::tr("a video output (.mp4, .mov, .mkv) needs --mix-with "
                                            "to take the pictures from\n");
                     }
                 } else if (config.mode != RunMode::Subtitles) {
                     return QObject::tr("--mix-with is only supported with --vtt\n");
                 }
                 return std::nullopt;
             }}),
        readAt(130, integerBetween(
                        {QStringLiteral("mix-stream")},
                        QObject::tr("Audio stream of the programme to mix over, counted from 0"),
                        QStringLiteral("index"), 0, kMaxInt,
                        [](RunConfiguration& c, int v) { c.timeline.programme.audioStream = v; },
                        QObject::tr("--mix-stream must be zero or positive\n"),
                        {needsProgramme(QStringLiteral("mix-stream"))})),
        readAt(140,
               numberBetween(
                   {QStringLiteral("duck")},
                   QObject::tr("Decibels the programme is lowered while narration plays (0 for "
                               "none)"),
                   QStringLiteral("dB"), 0.0, 60.0,
                   [](RunConfiguration& c, double v) { c.timeline.programme.duckDb = v; },
                   QObject::tr("--duck must be between 0 and 60\n"),
                   {needsProgramme(QStringLiteral("duck"))})),
        readAt(150,
               integerBetween(
                   {QStringLiteral("duck-attack")},
                   QObject::tr("Milliseconds before a clip over which the programme is lowered"),
                   QStringLiteral("ms"), 0, 10000,
                   [](RunConfiguration& c, int v) { c.timeline.programme.duckAttackMs = v; },
                   QObject::tr("--duck-attack must be between 0 and 10000\n"),
                   {needsProgramme(QStringLiteral("duck-attack"))})),
        readAt(160, integerBetween(
                        {QStringLiteral("duck-release")},
                        QObject::tr("Milliseconds after a clip over which the programme returns"),
                        QStringLiteral("ms"), 0, 10000,
                        [](RunConfiguration& c, int v) { c.timeline.programme.duckReleaseMs = v; },
                        QObject::tr("--duck-release must be between 0 and 10000\n"),
                        {needsProgramme(QStringLiteral("duck-release"))})),
        flag({QStringLiteral("keep-original-audio")},
             QObject::tr("Keep the programme's own audio as a second audio track (video output)"),
             [](OptionContext& c) { c.config.timeline.programme.keepOriginalAudio = true; },
             {needsProgramme(QStringLiteral("keep-original-audio")),
              needs(
                  QStringLiteral("keep-original-audio"),
                  [](const RunConfiguration& c) { return isVideoOutputPath(c.outputFile); },
                  QObject::tr("--keep-original-audio needs an .mp4, .mov or .mkv output\n"))}),
        readAt(170, row({QStringLiteral("audio-language")},
                        QObject::tr("Language of the mixed audio track (ISO 639-2, e.g. eng)"),
                        QStringLiteral("code"),
                        [](const QString& value, OptionContext& context, QString*) {
                            static const QRegularExpression code(QStringLiteral("^[a-z]{3}$"));
                            context.config.timeline.programme.audioLanguage = value;
                            return code.match(value).hasMatch();
                        },
                        QObject::tr(
                            "--audio-language must be a three-letter ISO 639-2 code such as eng\n"),
                        {languageHolds})),
        text({QStringLiteral("audio-title")}, QObject::tr("Title of the mixed audio track"),
             QStringLiteral("text"),
             [](OptionContext& c, const QString& v) { c.config.timeline.programme.audioTitle = v; },
             {needsProgramme(QStringLiteral("audio-title"))}),
        flag({QStringLiteral("word-timing")},
             QObject::tr("Ask for each clip's word timing: word captions, words in the report"),
             [](OptionContext& c) { c.config.synthesis.wordTiming = true; }),
        flag({QStringLiteral("join-sentences")},
             QObject::tr("Speak a sentence split over cues in one request, cut back at its words"),
             [](OptionContext& c) { c.config.joinSentences = true; }),
        readAt(240,
               row({QStringLiteral("lexicon")},
                   QObject::tr("Words said another way: a PLS lexicon of aliases, or a table of "
                               "term<TAB>replacement (or term,replacement) lines"),
                   QStringLiteral("file"),
                   [](const QString& value, OptionContext& context, QString* message) {
                       QStringList notices;
                       std::optional<Lexicon> lexicon = readLexicon(value, message, &notices);
                       for (const QString& notice : notices) {
                           printError(notice + QLatin1Char('\n'));
                       }
                       if (lexicon) {
                           context.config.lexicon =
                               std::make_shared<const Lexicon>(std::move(*lexicon));
                       }
                       return lexicon.has_value();
                   })),
        readElsewhere({QStringLiteral("pronunciation-dictionary")},
                      QObject::tr("Pronunciation dictionary of the account to apply, as ID or "
                                  "ID:VERSION (up to three, in order)"),
                      QStringLiteral("id")),
        flag({QStringLiteral("list-dictionaries")},
             QObject::tr("List the pronunciation dictionaries of the ElevenLabs account and exit"),
             [](OptionContext& c) { c.mode.listDictionaries = true; }),
        readElsewhere({QStringLiteral("normalize")},
                      QObject::tr("Ask the service to spell out numbers and abbreviations (auto, "
                                  "on, off)"),
                      QStringLiteral("auto|on|off")),
        text({QStringLiteral("shard")},
             QObject::tr("Take only this worker's share of a batch: the files at positions K, "
                         "K+N, ... (K from 0 to N-1; also LYRANE_SHARD)"),
             QStringLiteral("K/N"),
             [](OptionContext& c, const QString& v) { c.mode.shard = v.trimmed(); }),
        text({QStringLiteral("shard-count")},
             QObject::tr("Number of shards when the index comes from JOB_COMPLETION_INDEX or "
                         "AWS_BATCH_JOB_ARRAY_INDEX (also LYRANE_SHARD_COUNT)"),
             QStringLiteral("N"),
             [](OptionContext& c, const QString& v) { c.mode.shardCount = v.trimmed(); }),
        flag({QStringLiteral("claim-clips")},
             QObject::tr("Claim each clip in the S3 mirror before synthesizing it, so that runs "
                         "on other machines wait for it instead of paying again"),
             [](OptionContext& c) { c.config.claimClips = true; },
             {needs(
                 QStringLiteral("claim-clips"),
                 [](const RunConfiguration& c) { return !c.s3Bucket.trimmed().isEmpty(); },
                 QObject::tr("--claim-clips needs --s3-bucket (or LYRANE_S3_BUCKET)\n"))}),
        text({QStringLiteral("merge-reports")},
             QObject::tr("Join the reports of a batch's shards (comma-separated, or @FILE) into "
                         "--report"),
             QStringLiteral("files"),
             [](OptionContext& c, const QString& v) { c.mode.mergeReports = v.trimmed(); }),
        readAt(250,
               row({QStringLiteral("retake")},
                   QObject::tr(
                       "Ask for a new take of these cues (e.g. 17 or 3,17,23-25; --vtt only)"),
                   QStringLiteral("cues"),
                   [](const QString& value, OptionContext& context, QString*) {
                       const std::optional<QList<QPair<int, int>>> cues = parseCueRanges(value);
                       context.config.takes.retakes = cues.value_or(QList<QPair<int, int>>());
                       return cues.has_value();
                   },
                   QObject::tr(
                       "--retake must list cue numbers and ranges, such as 17 or 3,17,23-25\n"),
                   // Takes belong to the cues of one subtitle file.
                   {[](const OptionContext& context) -> std::optional<QString> {
                       if (!context.config.takes.isEmpty() &&
                           context.config.mode != RunMode::Subtitles) {
                           return QObject::tr(
                               "--retake and --take are only supported with --vtt\n");
                       }
                       return std::nullopt;
                   }})),
        readAt(260,
               row(
                   {QStringLiteral("take")},
                   QObject::tr("Choose an existing take of a cue again (e.g. 17=1 or 17=1,23=3)"),
                   QStringLiteral("cue=take"),
                   [](const QString& value, OptionContext& context, QString*) {
                       const std::optional<QMap<int, int>> choices = parseTakeChoices(value);
                       context.config.takes.choices = choices.value_or(QMap<int, int>());
                       return choices.has_value();
                   },
                   QObject::tr(
                       "--take must list a take for each cue once, such as 17=1 or 17=1,23=3\n"))),
        readAt(270,
               row({QStringLiteral("review")},
                   QObject::tr(
                       "Write a review page of the run (timeline, cues, takes, flags) as HTML"),
                   QStringLiteral("file"),
                   [](const QString& value, OptionContext& context, QString*) {
                       context.config.reviewFile = value;
                       return !value.isEmpty();
                   },
                   QObject::tr("--review must name an HTML file\n"),
                   {onlyWithVtt(QStringLiteral("review"),
                                QObject::tr("--review is only supported with --vtt\n"))})),
        readAt(275, row({QStringLiteral("serve")},
                        QObject::tr("After the run, serve its review page live on 127.0.0.1 until "
                                    "Ctrl-C: listen, retake and choose takes in the browser, the "
                                    "output kept in step (the port is optional; none or 0: a free "
                                    "one; --vtt only)"),
                        QStringLiteral("port"),
                        [](const QString& value, OptionContext& context, QString*) {
                            static const QRegularExpression digits(QStringLiteral("^[0-9]{0,5}$"));
                            const int port = value.toInt();
                            context.config.servePort = quint16(port);
                            return digits.match(value).hasMatch() && port <= 65535;
                        },
                        QObject::tr("--serve must be a port number between 0 and 65535\n"),
                        {onlyWithVtt(QStringLiteral("serve"),
                                     QObject::tr("--serve is only supported with --vtt\n")),
                         needs(
                             QStringLiteral("serve"),
                             [](const RunConfiguration& c) { return !c.dryRun; },
                             QObject::tr("--serve cannot be used with --dry-run\n")),
                         needs(
                             QStringLiteral("serve"),
                             [](const RunConfiguration& c) { return !c.noPadding; },
                             QObject::tr("--serve cannot be used with --no-padding\n"))})),
        readAt(280,
               row(
                   {QStringLiteral("progress")},
                   QObject::tr("How progress is shown on a terminal: status (one line) or lines"),
                   QStringLiteral("status|lines"),
                   [](const QString& value, OptionContext& context, QString*) {
                       context.config.progressLines = value == QLatin1String("lines");
                       return context.config.progressLines || value == QLatin1String("status");
                   },
                   QObject::tr("--progress must be status or lines\n"))),

        // Read whether given or not: the client may come from LYRANE_S3_CLIENT.
        readAt(300,
               fromEnvironment(
                   row({QStringLiteral("s3-client")},
                       QObject::tr("How the S3 mirror is reached: aws (an aws CLI call per "
                                   "object) or http (from lyrane, credentials from the aws CLI; "
                                   "also LYRANE_S3_CLIENT)"),
                       QStringLiteral("aws|http"),
                       [](const QString& value, OptionContext& context, QString* message) {
                           const std::optional<QString> refusal = readS3ClientOptions(
                               value, context.isSet(QStringLiteral("s3-client")),
                               context.parser.value(QStringLiteral("s3-endpoint-style")),
                               &context.config.s3Client);
                           *message = refusal.value_or(QString());
                           return !refusal;
                       }),
                   [](const Environment& environment) {
                       return environment.s3Client.isEmpty() ? QStringLiteral("aws")
                                                             : environment.s3Client;
                   })),
        readElsewhere({QStringLiteral("s3-endpoint-style")},
                      QObject::tr("Where the http S3 client names the bucket: in the path or the "
                                  "host name (default: path for an endpoint given by address or "
                                  "localhost)"),
                      QStringLiteral("path|virtual")),

        // Audio description: fitting between dialogue, delivery presets and track flags.
        readAt(110,
               row({QStringLiteral("loudness-preset")},
                   QObject::tr(
                       "Loudness target and true-peak ceiling of a delivery standard (ebu-r128, "
                       "atsc-a85, streaming, podcast)"),
                   QStringLiteral("name"), readLoudnessPreset,
                   QObject::tr(
                       "--loudness-preset must be ebu-r128, atsc-a85, streaming or podcast\n"))),
        flag({QStringLiteral("described")},
             QObject::tr("Mark the mixed track as audio description (video or .m4a output)"),
             [](OptionContext& c) {
                 c.config.timeline.programme.described = true;
                 if (!c.isSet(QStringLiteral("audio-title"))) {
                     c.config.timeline.programme.audioTitle = QStringLiteral("Audio Description");
                 }
             },
             {describedTrackHolds}),
        readAt(290,
               row({QStringLiteral("dialogue")},
                   QObject::tr("Subtitle file of the programme's dialogue: descriptions are fitted "
                               "between its cues"),
                   QStringLiteral("file"),
                   [](const QString& value, OptionContext& context, QString*) {
                       context.config.timeline.dialogueFile = value;
                       return !value.isEmpty();
                   },
                   QObject::tr("--dialogue needs a subtitle file\n"),
                   {onlyWithVtt(QStringLiteral("dialogue"),
                                QObject::tr("--dialogue is only supported with --vtt\n"))})),
        readAt(220,
               row({QStringLiteral("max-shift")},
                   QObject::tr(
                       "With --dialogue: how much later than its cue a description may start to "
                       "clear dialogue (0 to 60 s)"),
                   QStringLiteral("duration"),
                   [](const QString& value, OptionContext& context, QString*) {
                       const std::optional<int> shift = parseDurationMs(value);
                       context.config.timeline.maxShiftMs = shift.value_or(0);
                       return shift.has_value() && *shift <= 60000;
                   },
                   QObject::tr(
                       "--max-shift must be a duration from 0 to 60 s, such as 1500ms or 2s\n"),
                   {needsDialogue(QStringLiteral("max-shift"))})),
        flag({QStringLiteral("strict-fit")},
             QObject::tr("With --dialogue: fail the run when a description covers dialogue"),
             [](OptionContext& c) { c.config.timeline.strictFit = true; },
             {needsDialogue(QStringLiteral("strict-fit"))}),
        flag({QStringLiteral("extended")},
             QObject::tr("With --dialogue and a video --mix-with: pause the programme, its "
                         "picture held, where a description cannot fit the dialogue"),
             [](OptionContext& c) { c.config.timeline.extended = true; },
             {needsDialogue(QStringLiteral("extended")),
              needs(
                  QStringLiteral("extended"),
                  [](const RunConfiguration&
                         c) { return !c.timeline.programme.programmePath.isEmpty(); },
                  QObject::tr("--extended needs --mix-with a video programme\n")),
              needs(QStringLiteral("extended"), videoOutput,
                    QObject::tr("--extended needs a video output (.mp4, .mov or .mkv): the "
                                "programme's picture pauses with the description\n"))}),
        text({QStringLiteral("time-map")},
             QObject::tr("With --extended: write each pause (programme time, duration, output "
                         "time) to this JSON file"),
             QStringLiteral("file"),
             [](OptionContext& c, const QString& v) { c.config.timeline.timeMapFile = v; },
             {needs(
                  QStringLiteral("time-map"),
                  [](const RunConfiguration& c) { return c.timeline.extended; },
                  QObject::tr("--time-map needs --extended\n")),
              needs(
                  QStringLiteral("time-map"),
                  [](const RunConfiguration& c) { return !c.timeline.timeMapFile.isEmpty(); },
                  QObject::tr("--time-map needs a file name\n"))}),

        // Exchange formats: timecoded scripts in, a DAPT script and stems out.
        readAt(300, row({QStringLiteral("frame-rate")}, frameRateHelp(), QStringLiteral("fps"),
                        readFrameRate, frameRateRefusal(),
                        {readsScripts(QStringLiteral("frame-rate"))})),
        readAt(310, row({QStringLiteral("timecode-origin")},
                        QObject::tr("Timecode of the programme's first frame, subtracted from "
                                    "the times of scripts (e.g. 10:00:00:00; needs --frame-rate)"),
                        QStringLiteral("timecode"), readTimecodeOrigin, QString(),
                        {readsScripts(QStringLiteral("timecode-origin"))})),
        readAt(320, row({QStringLiteral("dapt-out")},
                        QObject::tr("Write the narration as a DAPT script (TTML) of where each "
                                    "description plays"),
                        QStringLiteral("file"), readDaptFile,
                        QObject::tr("--dapt-out needs a file name\n"),
                        writesFromTimeline(QStringLiteral("dapt-out")))),
        flag({QStringLiteral("dapt-embed")},
             QObject::tr("With --dapt-out: put each clip's audio into the script instead of "
                         "linking its file"),
             [](OptionContext& c) { c.config.exchange.embedClips = true; },
             {needs(
                 QStringLiteral("dapt-embed"),
                 [](const RunConfiguration& c) { return !c.exchange.daptFile.isEmpty(); },
                 QObject::tr("--dapt-embed needs --dapt-out\n"))}),
        readAt(330, row({QStringLiteral("stems")},
                        QObject::tr("Write each description's clip and the narration alone as "
                                    "Broadcast WAV files (48 kHz, 24-bit) into this folder"),
                        QStringLiteral("dir"), readStemsDirectory,
                        QObject::tr("--stems needs a folder name\n"),
                        writesFromTimeline(QStringLiteral("stems")))),
    };
    return rows;
}

std::optional<QString> readOptionRows(const QList<OptionRow>& rows, OptionContext& context) {
    QList<const OptionRow*> inOrder;
    for (const OptionRow& option : rows) {
        inOrder.append(&option);
    }
    std::stable_sort(inOrder.begin(), inOrder.end(), [](const OptionRow* a, const OptionRow* b) {
        return a->readOrder < b->readOrder;
    });
    for (const OptionRow* row : std::as_const(inOrder)) {
        const OptionRow& option = *row;
        const bool given = context.parser.isSet(option.option);
        if (!option.read || (!given && !option.whenAbsent)) {
            continue;
        }
        const QString value =
            given ? context.parser.value(option.option) : option.whenAbsent(context.environment);
        QString message;
        if (!option.read(value, context, &message)) {
            return message.isEmpty() ? option.refusal : message;
        }
    }
    return std::nullopt;
}

std::optional<QString> checkOptionRows(const QList<OptionRow>& rows, const OptionContext& context) {
    for (const OptionRow& option : rows) {
        for (const OptionRow::Check& check : option.checks) {
            if (std::optional<QString> refusal = check(context)) {
                return refusal;
            }
        }
    }
    return std::nullopt;
}

} // namespace lyrane
