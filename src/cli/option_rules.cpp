#include "cli/option_rules.h"

#include "audio/loudness_preset.h"
#include "cli/options.h"
#include "runs/console.h"
#include "subtitles/caption_writer.h"
#include "subtitles/lexicon.h"
#include "subtitles/speakers.h"
#include "subtitles/text_decoding.h"
#include "synthesis/cost_estimate.h"
#include "synthesis/output_formats.h"
#include "synthesis/voice_settings.h"

#include <QObject>
#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace lyrane {

namespace {

// A whole number from `min` to `max`.
OptionRule integerBetween(const QCommandLineOption& option, int min, int max,
                          std::function<void(RunConfiguration*, int)> store,
                          const QString& message) {
    return {&option, false,
            [=](const QString& value, RunConfiguration* config, QString*) {
                bool ok = false;
                const int number = value.toInt(&ok);
                if (!ok || number < min || number > max) {
                    return false;
                }
                store(config, number);
                return true;
            },
            message};
}

// A number from `min` to `max`.
OptionRule numberBetween(const QCommandLineOption& option, bool onlyWhenSet, double min, double max,
                         std::function<void(RunConfiguration*, double)> store,
                         const QString& message) {
    return {&option, onlyWhenSet,
            [=](const QString& value, RunConfiguration* config, QString*) {
                bool ok = false;
                const double number = value.toDouble(&ok);
                if (!ok || !(number >= min && number <= max)) {
                    return false;
                }
                store(config, number);
                return true;
            },
            message};
}

constexpr int kMaxInt = std::numeric_limits<int>::max();

} // namespace

QList<OptionRule> optionRules(const OptionTable& options, const QCommandLineParser& parser,
                              const Environment& environment) {
    // clang-format off
    return {
        integerBetween(options.limit, 0, kMaxInt, [](RunConfiguration* c, int v) { c->limit = v; },
                       QObject::tr("--limit must be zero or positive\n")),
        numberBetween(options.speed, false, 0.7, 1.2,
                      [](RunConfiguration* c, double v) { c->synthesis.speed = v; },
                      QObject::tr("--speed must be between 0.7 and 1.2\n")),
        // Sent as given: the service reads the name without regard to case.
        {&options.format, false, [](const QString& value, RunConfiguration*, QString*) {
             return parseOutputFormat(value).has_value(); },
         outputFormatRefusal()},
        {&options.padding, false, [](const QString& value, RunConfiguration* c, QString*) {
             const std::optional<int> padding = parseDurationMs(value);
             c->timeline.paddingMs = padding.value_or(0);
             return padding.has_value(); },
         QObject::tr("--padding must be a duration such as 500ms, 5s or 1m30s\n")},
        integerBetween(options.jobs, 1, 16, [](RunConfiguration* c, int v) { c->synthesis.jobs = v; },
                       QObject::tr("--jobs must be between 1 and 16\n")),
        integerBetween(options.retries, 0, 10,
                       [](RunConfiguration* c, int v) { c->synthesis.retries = v; },
                       QObject::tr("--retries must be between 0 and 10\n")),
        numberBetween(options.timeout, false, 0, std::numeric_limits<double>::max(),
                      [](RunConfiguration* c, double seconds) {
                          // Beyond what a millisecond int holds is as good as no limit.
                          const double ms = std::ceil(seconds * 1000.0);
                          c->synthesis.timeoutMs = ms > kMaxInt ? 0 : static_cast<int>(ms); },
                      QObject::tr("--timeout must be zero or positive\n")),
        {&options.encoding, true, [](const QString& value, RunConfiguration* c, QString*) {
             c->encoding = value;
             return isKnownTextEncoding(value); },
         QObject::tr("--encoding must name a character encoding known to the system, such as "
                     "windows-1252\n")},
        numberBetween(options.loudness, true, -70.0, -5.0,
                      [](RunConfiguration* c, double v) { c->timeline.loudnessLufs = v; },
                      QObject::tr("--loudness must be between -70 and -5\n")),
        numberBetween(options.truePeak, false, -20.0, 0.0,
                      [](RunConfiguration* c, double v) { c->timeline.truePeakDbtp = v; },
                      QObject::tr("--true-peak must be between -20 and 0\n")),
        // A preset fills in the target and the ceiling the command line leaves unset.
        {&options.loudnessPreset, true, [&options, &parser](const QString& value,
                                                            RunConfiguration* c, QString*) {
             const std::optional<LoudnessPreset> preset = findLoudnessPreset(value);
             if (!preset) {
                 return false;
             }
             c->timeline.loudnessPreset = preset->name;
             if (!parser.isSet(options.loudness)) {
                 c->timeline.loudnessLufs = preset->targetLufs;
             }
             if (!parser.isSet(options.truePeak)) {
                 c->timeline.truePeakDbtp = preset->truePeakDbtp;
             }
             return true; },
         QObject::tr("--loudness-preset must be ebu-r128, atsc-a85, streaming or podcast\n")},
        {&options.truePeak, true, [](const QString&, RunConfiguration* c, QString*) {
             return c->timeline.loudnessLufs.has_value(); },
         QObject::tr("--true-peak is only supported with --loudness\n")},
        integerBetween(options.mixStream, 0, kMaxInt,
                       [](RunConfiguration* c, int v) { c->timeline.programme.audioStream = v; },
                       QObject::tr("--mix-stream must be zero or positive\n")),
        numberBetween(options.duck, false, 0.0, 60.0,
                      [](RunConfiguration* c, double v) { c->timeline.programme.duckDb = v; },
                      QObject::tr("--duck must be between 0 and 60\n")),
        integerBetween(options.duckAttack, 0, 10000,
                       [](RunConfiguration* c, int v) { c->timeline.programme.duckAttackMs = v; },
                       QObject::tr("--duck-attack must be between 0 and 10000\n")),
        integerBetween(options.duckRelease, 0, 10000,
                       [](RunConfiguration* c, int v) { c->timeline.programme.duckReleaseMs = v; },
                       QObject::tr("--duck-release must be between 0 and 10000\n")),
        {&options.audioLanguage, true, [](const QString& value, RunConfiguration*, QString*) {
             static const QRegularExpression code(QStringLiteral("^[a-z]{3}$"));
             return code.match(value).hasMatch(); },
         QObject::tr("--audio-language must be a three-letter ISO 639-2 code such as eng\n")},
        {&options.voices, true, [](const QString& value, RunConfiguration* c, QString* message) {
             std::optional<VoiceMap> map = VoiceMap::parse(value, message);
             if (map) {
                 c->speakers.voices = std::move(*map);
             }
             return map.has_value(); },
         QString()},
        {&options.speakerLabels, false, [](const QString& value, RunConfiguration* c, QString*) {
             const std::optional<SpeakerLabels> labels = parseSpeakerLabels(value);
             c->speakers.labels = labels.value_or(SpeakerLabels::On);
             return labels.has_value(); },
         QObject::tr("--speaker-labels must be on or off\n")},
        // The model and the voice's settings are read together.
        {nullptr, false, [&options, &parser, &environment](const QString&, RunConfiguration* c,
                                                           QString* message) {
             const auto given = [&parser](const QCommandLineOption& option) {
                 return parser.isSet(option) ? std::optional<QString>(parser.value(option))
                                             : std::nullopt;
             };
             VoiceSettingArguments arguments;
             arguments.model = given(options.model);
             arguments.modelEnvironment = environment.model;
             arguments.language = given(options.language);
             arguments.stability = given(options.stability);
             arguments.similarity = given(options.similarity);
             arguments.style = given(options.style);
             arguments.seed = given(options.seed);
             arguments.speakerBoost = parser.isSet(options.speakerBoost);
             arguments.dictionaries = parser.values(options.pronunciationDictionary);
             arguments.normalize = given(options.normalize);
             QString warning;
             std::optional<VoiceSettings> settings = parseVoiceSettings(arguments, message, &warning);
             if (!settings) {
                 return false;
             }
             if (!warning.isEmpty()) {
                 printError(warning);
             }
             c->synthesis.voiceSettings = std::move(*settings);
             return true; },
         QString()},
        {&options.maxCredits, true, [](const QString& value, RunConfiguration* c, QString* message) {
             c->maxCredits = parseMaxCredits(value, message);
             return c->maxCredits.has_value(); },
         QString()},
        {&options.maxShift, false, [](const QString& value, RunConfiguration* c, QString*) {
             const std::optional<int> shift = parseDurationMs(value);
             c->timeline.maxShiftMs = shift.value_or(0);
             return shift.has_value() && *shift <= 60000; },
         QObject::tr("--max-shift must be a duration from 0 to 60 s, such as 1500ms or 2s\n")},
        {&options.captionsOut, true, [](const QString& value, RunConfiguration*, QString*) {
             return value.isEmpty() || captionFormatForPath(value).has_value(); },
         QObject::tr("--captions-out must name a .vtt or .srt file\n")},
        {&options.lexicon, true, [](const QString& value, RunConfiguration* c, QString* message) {
             QStringList notices;
             std::optional<Lexicon> lexicon = readLexicon(value, message, &notices);
             for (const QString& notice : notices) {
                 printError(notice + QLatin1Char('\n'));
             }
             if (lexicon) {
                 c->lexicon = std::make_shared<const Lexicon>(std::move(*lexicon));
             }
             return lexicon.has_value(); },
         QString()},
        {&options.retake, true, [](const QString& value, RunConfiguration* c, QString*) {
             const std::optional<QList<QPair<int, int>>> cues = parseCueRanges(value);
             c->takes.retakes = cues.value_or(QList<QPair<int, int>>());
             return cues.has_value(); },
         QObject::tr("--retake must list cue numbers and ranges, such as 17 or 3,17,23-25\n")},
        {&options.take, true, [](const QString& value, RunConfiguration* c, QString*) {
             const std::optional<QMap<int, int>> choices = parseTakeChoices(value);
             c->takes.choices = choices.value_or(QMap<int, int>());
             return choices.has_value(); },
         QObject::tr("--take must list a take for each cue once, such as 17=1 or 17=1,23=3\n")},
        {&options.review, true, [](const QString& value, RunConfiguration* c, QString*) {
             c->reviewFile = value;
             return !value.isEmpty(); },
         QObject::tr("--review must name an HTML file\n")},
        {&options.progress, false, [](const QString& value, RunConfiguration* c, QString*) {
             c->progressLines = value == QLatin1String("lines");
             return c->progressLines || value == QLatin1String("status"); },
         QObject::tr("--progress must be status or lines\n")},
    };
    // clang-format on
}

std::optional<QString> applyOptionRules(const QList<OptionRule>& rules,
                                        const QCommandLineParser& parser,
                                        RunConfiguration* config) {
    for (const OptionRule& rule : rules) {
        if (rule.onlyWhenSet && !parser.isSet(*rule.option)) {
            continue;
        }
        QString message;
        const QString value = rule.option ? parser.value(*rule.option) : QString();
        if (!rule.take(value, config, &message)) {
            return message.isEmpty() ? rule.message : message;
        }
    }
    return std::nullopt;
}

} // namespace lyrane
