#include "runs/run_report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

#include <functional>
#include <optional>
#include <utility>

using lyrane::ClipOrigin;
using lyrane::ReportCue;
using lyrane::ReportPlacement;
using lyrane::RunReport;

namespace {

ReportCue cueFrom(qint64 number, ClipOrigin source) {
    ReportCue cue;
    cue.number = number;
    cue.startMs = number * 3000;
    cue.endMs = number * 3000 + 2500;
    cue.text = QStringLiteral("Cue %1 \"as sent\".").arg(number);
    cue.voiceId = QStringLiteral("21m00Tcm4TlvDq8ikWAM");
    cue.cacheKey = QString::fromLatin1(
        QCryptographicHash::hash(cue.text.toUtf8(), QCryptographicHash::Md5).toHex());
    cue.clipFile = QStringLiteral("/cache/%1.wav").arg(cue.cacheKey);
    cue.source = source;
    cue.characters = cue.text.size();
    if (source == ClipOrigin::Service) {
        cue.billedCharacters = cue.characters;
        cue.requestId = QStringLiteral("req-%1").arg(number);
        cue.attempts = 2;
    }
    if (source != ClipOrigin::Pending) {
        cue.clipLengthMs = 2800;
        cue.placement = ReportPlacement{
            cue.startMs, cue.startMs + 2800, cue.startMs + 300, cue.startMs + 2400, 300, 1.1666};
    }
    return cue;
}

RunReport successfulRun() {
    RunReport report;
    report.version = QStringLiteral("0.2.10");
    report.settings.voice = QStringLiteral("Brenn");
    report.settings.voiceId = QStringLiteral("21m00Tcm4TlvDq8ikWAM");
    report.settings.voiceMap = {{QStringLiteral("Anna"), QStringLiteral("Miravel")},
                                {QStringLiteral("Ben"), QStringLiteral("pNInz6obpgDQGcFmaJgB")}};
    report.settings.format = QStringLiteral("pcm_44100");
    report.settings.speed = 1.1;
    report.settings.voiceSettings.modelId = QStringLiteral("eleven_flash_v2_5");
    report.settings.voiceSettings.languageCode = QStringLiteral("de");
    report.settings.voiceSettings.stability = 0.5;
    report.settings.voiceSettings.similarityBoost = 0.75;
    report.settings.voiceSettings.style = 0.0;
    report.settings.voiceSettings.useSpeakerBoost = true;
    report.settings.voiceSettings.seed = 4294967295u;
    report.cues = {cueFrom(1, ClipOrigin::Cache), cueFrom(2, ClipOrigin::Mirror),
                   cueFrom(3, ClipOrigin::Service)};
    report.cues[1].speaker = QStringLiteral("Anna");
    report.cues[2].billedCharacters.reset(); // the service sent no character-cost
    report.totals = {3, 1, 16, true, 8};
    report.outputs = {{QString(), QStringLiteral("/out/talk.wav"), 12345, std::nullopt}};
    return report;
}

RunReport failedBatch() {
    RunReport report = successfulRun();
    report.settings.voiceMap.clear();
    report.settings.voiceSettings = lyrane::VoiceSettings();
    report.settings.speed = 1.0;
    report.cues = {cueFrom(1, ClipOrigin::Service), cueFrom(2, ClipOrigin::Pending),
                   cueFrom(1, ClipOrigin::Pending)};
    report.cues[0].input = report.cues[1].input = QStringLiteral("one.vtt");
    report.cues[2].input = QStringLiteral("two.vtt");
    report.totals = {3, 1, 17, false, 17};
    report.outputs.clear();
    report.failure = lyrane::ReportFailure{QStringLiteral("one.vtt"), 2,
                                           QStringLiteral("TTS request failed (HTTP 401): ...")};
    return report;
}

RunReport dryRun() {
    RunReport report = successfulRun();
    report.dryRun = true;
    for (ReportCue& cue : report.cues) {
        cue = cueFrom(cue.number, ClipOrigin::Pending);
    }
    report.cues[0].source = ClipOrigin::Cache; // found in the local cache, not yet placed
    report.cues[0].clipLengthMs = 1500;
    report.totals = {3, 0, 0, false, 18};
    report.outputs.clear();
    return report;
}

// The schema's verdicts on reports, from the checker the end-to-end tests use too: for each
// report, the lines it printed (empty when the report is valid). One run of the checker for all,
// as starting it takes a while.
std::optional<QStringList> problemsOf(const QList<QByteArray>& reports, QString* failure) {
    QTemporaryDir folder;
    QStringList paths;
    for (const QByteArray& json : reports) {
        QFile file(folder.filePath(QStringLiteral("report-%1.json").arg(paths.size())));
        if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size()) {
            *failure = QStringLiteral("cannot write the reports to check");
            return std::nullopt;
        }
        paths.append(file.fileName());
    }
    QProcess checker;
    checker.setProcessChannelMode(QProcess::MergedChannels);
    checker.start(QStringLiteral(LYRANE_PYTHON3),
                  QStringList{QStringLiteral(LYRANE_REPORT_SCHEMA_CHECK)} + paths);
    if (!checker.waitForFinished(120000) || checker.exitStatus() != QProcess::NormalExit) {
        *failure = QStringLiteral("the checker did not finish: ") + checker.errorString();
        return std::nullopt;
    }
    const QString output = QString::fromUtf8(checker.readAll());
    QStringList problems(paths.size());
    bool any = false;
    for (const QString& line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const qsizetype index = paths.indexOf(line.section(QStringLiteral(": "), 0, 0));
        if (index < 0) {
            *failure = QStringLiteral("unexpected output from the checker: ") + output;
            return std::nullopt;
        }
        problems[index] += line.section(QStringLiteral(": "), 1) + QLatin1Char('\n');
        any = true;
    }
    if (checker.exitCode() != (any ? 1 : 0)) {
        *failure = QStringLiteral("checker status %1: %2").arg(checker.exitCode()).arg(output);
        return std::nullopt;
    }
    return problems;
}

using Mutation = std::function<void(QJsonObject&)>;

QJsonObject firstCueChanged(QJsonObject report, const QString& member, const QJsonValue& value) {
    QJsonArray cues = report.value(QStringLiteral("cues")).toArray();
    QJsonObject cue = cues.at(0).toObject();
    if (value.isUndefined()) {
        cue.remove(member);
    } else {
        cue.insert(member, value);
    }
    cues.replace(0, cue);
    report.insert(QStringLiteral("cues"), cues);
    return report;
}

} // namespace

class RunReportTest : public QObject {
    Q_OBJECT

    QTemporaryDir directory;

private slots:
    void initTestCase() { QVERIFY(directory.isValid()); }

    void reportsMatchTheSchema() {
        const QList<RunReport> reports = {successfulRun(), failedBatch(), dryRun()};
        QList<QByteArray> written;
        for (const RunReport& report : reports) {
            const QString path = directory.filePath(QStringLiteral("report.json"));
            QString error;
            QVERIFY2(lyrane::writeRunReport(path, report, &error), qPrintable(error));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            written.append(file.readAll());
            QVERIFY2(written.last().contains("\n    \""), "indented");
        }
        QString failure;
        const std::optional<QStringList> problems = problemsOf(written, &failure);
        QVERIFY2(problems.has_value(), qPrintable(failure));
        for (qsizetype r = 0; r < reports.size(); ++r) {
            QVERIFY2(problems->at(r).isEmpty(),
                     qPrintable(QStringLiteral("report %1:\n").arg(r) + problems->at(r)));

            // The values arrive where the schema says they are.
            const RunReport& report = reports[r];
            const QJsonObject json = QJsonDocument::fromJson(written[r]).object();
            QCOMPARE(json.value("version").toString(), QStringLiteral("0.2.10"));
            QCOMPARE(json.value("dry_run").toBool(), report.dryRun);
            const QJsonArray cues = json.value("cues").toArray();
            QCOMPARE(cues.size(), report.cues.size());
            for (qsizetype i = 0; i < cues.size(); ++i) {
                const QJsonObject cue = cues.at(i).toObject();
                const ReportCue& expected = report.cues[i];
                QCOMPARE(cue.value("number").toInteger(), expected.number);
                QCOMPARE(cue.value("text").toString(), expected.text);
                QCOMPARE(cue.value("source").toString(), lyrane::clipOriginName(expected.source));
                QCOMPARE(cue.value("cache_key").toString(), expected.cacheKey);
                QCOMPARE(cue.value("speaker").isNull(), expected.speaker.isEmpty());
                QCOMPARE(cue.value("input").toString(), expected.input);
                QCOMPARE(cue.value("billed_characters").toInteger(-1),
                         expected.billedCharacters.value_or(-1));
                QCOMPARE(cue.value("actual_start_ms").toInteger(-1),
                         expected.placement ? expected.placement->actualStartMs : -1);
                QCOMPARE(cue.value("speed_up").toDouble(-1),
                         expected.placement ? expected.placement->speedUp : -1);
            }
            QCOMPARE(json.value("totals").toObject().value("credits_estimated").toInteger(),
                     report.totals.creditsEstimated);
            QCOMPARE(json.value("failure").isNull(), !report.failure.has_value());
        }
    }

    // Each broken report is refused, for the reason broken into it.
    void theSchemaRefusesBrokenReports() {
        const QList<std::pair<const char*, Mutation>> mutations = {
            {"/cues/0/source",
             [](QJsonObject& r) {
                 r = firstCueChanged(r, "source", "disk");
             }},
            {"/cues/0: 'cache_key' is a required property",
             [](QJsonObject& r) {
                 r = firstCueChanged(r, "cache_key", QJsonValue::Undefined);
             }},
            {"/cues/0/cache_key",
             [](QJsonObject& r) {
                 r = firstCueChanged(r, "cache_key", "ABC");
             }},
            {"/cues/0/billed_characters", // a cached clip was not billed
             [](QJsonObject& r) {
                 r = firstCueChanged(r, "billed_characters", 12);
             }},
            {"/cues/0/start_ms",
             [](QJsonObject& r) {
                 r = firstCueChanged(r, "start_ms", -1);
             }},
            {"/: Additional properties",
             [](QJsonObject& r) {
                 r.insert("extra", 1);
             }},
            {"/: 'totals' is a required property",
             [](QJsonObject& r) {
                 r.remove("totals");
             }},
            {"/settings/voice_settings/stability",
             [](QJsonObject& r) {
                 QJsonObject settings = r.value("settings").toObject();
                 QJsonObject voice = settings.value("voice_settings").toObject();
                 voice.insert("stability", 1.5);
                 settings.insert("voice_settings", voice);
                 r.insert("settings", settings);
             }},
        };
        QList<QByteArray> reports;
        for (const auto& [complaint, mutation] : mutations) {
            QJsonObject json = lyrane::runReportJson(successfulRun());
            mutation(json);
            reports.append(QJsonDocument(json).toJson());
        }
        QString failure;
        const std::optional<QStringList> problems = problemsOf(reports, &failure);
        QVERIFY2(problems.has_value(), qPrintable(failure));
        for (qsizetype i = 0; i < mutations.size(); ++i) {
            QVERIFY2(problems->at(i).contains(QLatin1String(mutations[i].first)),
                     qPrintable(QStringLiteral("expected \"%1\", got:\n%2")
                                    .arg(QLatin1String(mutations[i].first), problems->at(i))));
        }
    }

    void writingFails() {
        const QString path = directory.filePath(QStringLiteral("missing/report.json"));
        QString error;
        QVERIFY(!lyrane::writeRunReport(path, successfulRun(), &error));
        QVERIFY2(error.startsWith(QStringLiteral("failed to write report %1: ").arg(path)),
                 qPrintable(error));
        QVERIFY(!QFileInfo::exists(path));
    }
};

QTEST_GUILESS_MAIN(RunReportTest)
#include "test_run_report.moc"
