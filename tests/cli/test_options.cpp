#include "cli/options.h"

#include <QtTest>

using lyrane::parseCommandLine;
using lyrane::parseDurationMs;
using lyrane::RunConfiguration;
using lyrane::RunMode;

Q_DECLARE_METATYPE(RunMode)

class OptionsTest : public QObject {
    Q_OBJECT

private slots:
    void acceptedDurations_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("milliseconds");
        QTest::newRow("default") << "0" << 0;
        QTest::newRow("bare seconds") << "5" << 5000;
        QTest::newRow("bare fraction") << "2.25" << 2250;
        QTest::newRow("milliseconds") << "500ms" << 500;
        QTest::newRow("seconds") << "5s" << 5000;
        QTest::newRow("minutes") << "1m" << 60000;
        QTest::newRow("minutes and seconds") << "1m30s" << 90000;
        QTest::newRow("fraction of a second") << "1.5s" << 1500;
        QTest::newRow("hours") << "2h" << 7200000;
        QTest::newRow("letter case ignored") << "1H30M" << 5400000;
        QTest::newRow("upper-case ms") << "250MS" << 250;
        QTest::newRow("three groups") << "1h1m1s" << 3661000;
        QTest::newRow("rounded up") << "0.0006s" << 1;
        QTest::newRow("rounded down") << "0.0004s" << 0;
        QTest::newRow("a whole day") << "24h" << 86400000;
        QTest::newRow("a day in minutes") << "1440m" << 86400000;
    }
    void acceptedDurations() {
        QFETCH(QString, text);
        QFETCH(int, milliseconds);
        const std::optional<int> parsed = parseDurationMs(text);
        QVERIFY2(parsed.has_value(), qPrintable(text));
        QCOMPARE(*parsed, milliseconds);
    }

    void rejectedDurations_data() {
        QTest::addColumn<QString>("text");
        for (const char* text : {"",
                                 "5x",
                                 "-1s",
                                 "-5",
                                 "1e9h",
                                 "1e3",
                                 "s",
                                 "ms",
                                 "1..5s",
                                 ".5s",
                                 "5.s",
                                 "5 s",
                                 " 5s",
                                 "5s ",
                                 "1m-30s",
                                 "24h1ms",
                                 "86400001ms",
                                 "25h",
                                 "inf",
                                 "nan",
                                 "1,5s",
                                 "5sec",
                                 "99999999999999999999h"}) {
            QTest::newRow(text[0] ? text : "empty") << QString::fromLatin1(text);
        }
        // Letters that only match a unit case-blindly by Unicode rules, and digits of other
        // scripts.
        for (const char* text : {"1\u017F", "1m\u017F", "\u0661s", "\u0665"}) {
            QTest::newRow(text) << QString::fromUtf8(text);
        }
    }
    void rejectedDurations() {
        QFETCH(QString, text);
        QCOMPARE(parseDurationMs(text), std::nullopt);
    }

    // The mode comes from the input option alone; --cache-only wins once the values check.
    void modes_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status"); // -1: ready for dispatch
        QTest::addColumn<RunMode>("mode");
        QTest::addColumn<QStringList>("batchFiles");
        const RunMode none = RunMode::Subtitles;
        QTest::newRow("subtitles")
            << QStringList{"--vtt", "a.vtt"} << -1 << RunMode::Subtitles << QStringList();
        QTest::newRow("say") << QStringList{"--say", "Hi"} << -1 << RunMode::SingleText
                             << QStringList();
        QTest::newRow("text file")
            << QStringList{"--text", "t.txt"} << -1 << RunMode::SingleText << QStringList();
        QTest::newRow("batch") << QStringList{"--batch", " a.vtt, ,b.vtt,"} << -1 << RunMode::Batch
                               << QStringList{"a.vtt", "b.vtt"};
        QTest::newRow("batch of blanks")
            << QStringList{"--batch", ", ,"} << -1 << RunMode::Batch << QStringList();
        QTest::newRow("cache directory")
            << QStringList{"--cache-only", "--vtt", "a.vtt", "--say", "Hi"} << -1
            << RunMode::PrintCacheDirectory << QStringList();
        QTest::newRow("cache directory after the checks")
            << QStringList{"--cache-only", "--jobs", "0"} << 1 << none << QStringList();
        QTest::newRow("no input") << QStringList{} << 1 << none << QStringList();
        QTest::newRow("two inputs")
            << QStringList{"--vtt", "a.vtt", "--say", "Hi"} << 1 << none << QStringList();
        QTest::newRow("context without a text")
            << QStringList{"--vtt", "a.vtt", "--next-text", "x"} << 1 << none << QStringList();
        QTest::newRow("empty output")
            << QStringList{"--say", "Hi", "--output", ""} << 1 << none << QStringList();
        QTest::newRow("version") << QStringList{"--version"} << 0 << none << QStringList();
    }
    void modes() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(RunMode, mode);
        QFETCH(QStringList, batchFiles);
        RunConfiguration config;
        const std::optional<int> result =
            parseCommandLine(QStringList{"lyrane"} + arguments, lyrane::readEnvironment(), &config);
        QCOMPARE(result.value_or(-1), status);
        if (!result) {
            QCOMPARE(config.mode, mode);
            QCOMPARE(config.batchFiles, batchFiles);
        }
    }

    // Each layer's settings are filled from their options.
    void settings() {
        RunConfiguration config;
        const QStringList arguments{
            "lyrane",      "--say",     "Hi",     "--voice",         "Dostan",   "--format",
            "mp3_44100",   "--speed",   "1.1",    "--jobs",          "3",        "--retries",
            "2",           "--timeout", "1.5",    "--padding",       "2s",       "--autopad",
            "--autospeed", "-t",        "/c",     "--previous-text", " before ", "--limit",
            "4",           "-o",        "out.mp3"};
        QCOMPARE(parseCommandLine(arguments, lyrane::readEnvironment(), &config), std::nullopt);
        QCOMPARE(config.mode, RunMode::SingleText);
        QCOMPARE(config.single.text, QStringLiteral("Hi"));
        QCOMPARE(config.single.previousText, QStringLiteral("before"));
        QCOMPARE(config.synthesis.voice, QStringLiteral("Dostan"));
        QCOMPARE(config.synthesis.outputFormat, QStringLiteral("mp3_44100"));
        QCOMPARE(config.synthesis.speed, 1.1);
        QCOMPARE(config.synthesis.jobs, 3);
        QCOMPARE(config.synthesis.retries, 2);
        QCOMPARE(config.synthesis.timeoutMs, 1500);
        QCOMPARE(config.timeline.paddingMs, qint64(2000));
        QVERIFY(config.timeline.autopad);
        QVERIFY(config.timeline.autospeed);
        QCOMPARE(config.cacheDirectory, QStringLiteral("/c"));
        QCOMPARE(config.outputFile, QStringLiteral("out.mp3"));
        QCOMPARE(config.limit, 4);
        QVERIFY(config.synthesis.voiceSettings.isDefault());
        QVERIFY(config.speakers.voices.isEmpty());
        QCOMPARE(config.speakers.labels, lyrane::SpeakerLabels::On);
    }

    // The voice options reach the subtitle run and every request.
    void voiceSettings() {
        RunConfiguration config;
        const QStringList arguments{"lyrane",
                                    "--vtt",
                                    "a.vtt",
                                    "--voices",
                                    "Anna=Miravel",
                                    "--speaker-labels",
                                    "off",
                                    "--model",
                                    "eleven_flash_v2_5",
                                    "--language",
                                    "de",
                                    "--stability",
                                    "0.4",
                                    "--similarity",
                                    "0.6",
                                    "--style",
                                    "0",
                                    "--speaker-boost",
                                    "--seed",
                                    "7"};
        QCOMPARE(parseCommandLine(arguments, lyrane::readEnvironment(), &config), std::nullopt);
        QCOMPARE(config.mode, RunMode::Subtitles);
        QCOMPARE(config.speakers.voices.voiceFor(QStringLiteral("ANNA")),
                 std::optional<QString>(QStringLiteral("Miravel")));
        QCOMPARE(config.speakers.labels, lyrane::SpeakerLabels::Off);
        const lyrane::VoiceSettings& settings = config.synthesis.voiceSettings;
        QCOMPARE(settings.modelId, QStringLiteral("eleven_flash_v2_5"));
        QCOMPARE(settings.languageCode, QStringLiteral("de"));
        QCOMPARE(settings.stability, std::optional<double>(0.4));
        QCOMPARE(settings.similarityBoost, std::optional<double>(0.6));
        QCOMPARE(settings.style, std::optional<double>(0.0));
        QVERIFY(settings.useSpeakerBoost);
        QCOMPARE(settings.seed, std::optional<quint32>(7));

        QCOMPARE(parseCommandLine({"lyrane", "--list-voices"}, lyrane::readEnvironment(), &config),
                 std::nullopt);
        QCOMPARE(config.mode, RunMode::ListVoices);
    }

    // Presets fill the loudness target and ceiling that are not given; --max-shift's range.
    void descriptionSettings_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status"); // -1: accepted
        QTest::addColumn<double>("target");
        QTest::addColumn<double>("ceiling");
        QTest::addColumn<qint64>("maxShift");
        const QStringList d{"--dialogue", "d.vtt"};
        // clang-format off
        QTest::newRow("ebu-r128") << QStringList{"--loudness-preset", "ebu-r128"} << -1 << -23.0 << -1.0 << qint64(2000);
        QTest::newRow("atsc-a85") << QStringList{"--loudness-preset", "ATSC-A85"} << -1 << -24.0 << -2.0 << qint64(2000);
        QTest::newRow("streaming") << QStringList{"--loudness-preset", "streaming"} << -1 << -24.0 << -2.0 << qint64(2000);
        QTest::newRow("podcast") << QStringList{"--loudness-preset", "podcast"} << -1 << -16.0 << -1.0 << qint64(2000);
        QTest::newRow("target given") << QStringList{"--loudness-preset", "podcast", "--loudness", "-18"} << -1 << -18.0 << -1.0 << qint64(2000);
        QTest::newRow("ceiling given") << QStringList{"--true-peak", "-3", "--loudness-preset", "ebu-r128"} << -1 << -23.0 << -3.0 << qint64(2000);
        QTest::newRow("unknown preset") << QStringList{"--loudness-preset", "loud"} << 1 << 0.0 << 0.0 << qint64(0);
        QTest::newRow("no shift") << d + QStringList{"--max-shift", "0"} << -1 << 0.0 << -1.0 << qint64(0);
        QTest::newRow("a minute") << d + QStringList{"--max-shift", "1m"} << -1 << 0.0 << -1.0 << qint64(60000);
        QTest::newRow("over a minute") << d + QStringList{"--max-shift", "60.001s"} << 1 << 0.0 << 0.0 << qint64(0);
        QTest::newRow("shift without dialogue") << QStringList{"--max-shift", "1s"} << 1 << 0.0 << 0.0 << qint64(0);
        QTest::newRow("dialogue with --say") << QStringList{"--dialogue", "d.vtt", "--say", "x"} << 1 << 0.0 << 0.0 << qint64(0);
        QTest::newRow("described WAV") << QStringList{"--described", "--mix-with", "f.mkv"} << 1 << 0.0 << 0.0 << qint64(0);
        // clang-format on
    }
    void descriptionSettings() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(double, target);
        QFETCH(double, ceiling);
        QFETCH(qint64, maxShift);
        RunConfiguration config;
        const QStringList input = arguments.contains(QStringLiteral("--say"))
                                      ? QStringList()
                                      : QStringList{"--vtt", "a.vtt"};
        const std::optional<int> result = parseCommandLine(
            QStringList{"lyrane"} + input + arguments, lyrane::readEnvironment(), &config);
        QCOMPARE(result.value_or(-1), status);
        if (!result) {
            QCOMPARE(config.timeline.loudnessLufs.value_or(0.0), target);
            QCOMPARE(config.timeline.truePeakDbtp, ceiling);
            QCOMPARE(config.timeline.maxShiftMs, maxShift);
        }
    }
};

QTEST_GUILESS_MAIN(OptionsTest)
#include "test_options.moc"
