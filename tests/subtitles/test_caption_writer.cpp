#include "subtitles/caption_writer.h"
#include "subtitles/subtitle_file.h"

#include "subtitles/cue.h"

#include <QtTest>

using lyrane::CaptionCue;
using lyrane::CaptionFormat;
using lyrane::CaptionPlacement;
using lyrane::CaptionWriter;

namespace {

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

CaptionCue cue(qint64 start, qint64 end, const QString& text, const QString& speaker = {}) {
    return CaptionCue{start, end, text, speaker, {}};
}

} // namespace

class CaptionWriterTest : public QObject {
    Q_OBJECT

    QTemporaryDir directory;

private slots:
    void initTestCase() { QVERIFY(directory.isValid()); }

    void formatByExtension_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("format"); // -1: neither
        QTest::newRow("vtt") << "out/captions.vtt" << int(CaptionFormat::WebVtt);
        QTest::newRow("VTT") << "CAPTIONS.VTT" << int(CaptionFormat::WebVtt);
        QTest::newRow("srt") << "captions.srt" << int(CaptionFormat::Srt);
        QTest::newRow("Srt") << "captions.Srt" << int(CaptionFormat::Srt);
        QTest::newRow("txt") << "captions.txt" << -1;
        QTest::newRow("no extension") << "vtt" << -1;
        QTest::newRow("extension in the middle") << "captions.vtt.bak" << -1;
    }
    void formatByExtension() {
        QFETCH(QString, path);
        QFETCH(int, format);
        const std::optional<CaptionFormat> found = lyrane::captionFormatForPath(path);
        QCOMPARE(found ? int(*found) : -1, format);
    }

    // Start = the clip's actual start; end = the later of the clip's end and the cue's end moved
    // by the same delay.
    void retiming_data() {
        QTest::addColumn<qint64>("cueStart");
        QTest::addColumn<qint64>("cueEnd");
        QTest::addColumn<qint64>("clipStart");
        QTest::addColumn<qint64>("clipEnd");
        QTest::addColumn<qint64>("delay");
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("end");
        QTest::newRow("on time, short clip")
            << 1000LL << 4000LL << 1000LL << 2500LL << 0LL << 1000LL << 4000LL;
        QTest::newRow("on time, long clip")
            << 1000LL << 4000LL << 1000LL << 5200LL << 0LL << 1000LL << 5200LL;
        QTest::newRow("pushed, short clip")
            << 5000LL << 8000LL << 5700LL << 6900LL << 700LL << 5700LL << 8700LL;
        QTest::newRow("pushed, long clip")
            << 5000LL << 8000LL << 5700LL << 9100LL << 700LL << 5700LL << 9100LL;
        QTest::newRow("sped up to fit") << 0LL << 2000LL << 0LL << 2000LL << 0LL << 0LL << 2000LL;
        QTest::newRow("silent clip")
            << 3000LL << 3500LL << 3000LL << 3000LL << 0LL << 3000LL << 3500LL;
    }
    void retiming() {
        QFETCH(qint64, cueStart);
        QFETCH(qint64, cueEnd);
        QFETCH(qint64, clipStart);
        QFETCH(qint64, clipEnd);
        QFETCH(qint64, delay);
        QFETCH(qint64, start);
        QFETCH(qint64, end);
        const CaptionCue retimed = lyrane::retimedCaption(
            cue(cueStart, cueEnd, QStringLiteral("Text."), QStringLiteral("Anna")),
            CaptionPlacement{clipStart, clipEnd, delay});
        QCOMPARE(retimed.startMs, start);
        QCOMPARE(retimed.endMs, end);
        QCOMPARE(retimed.text, QStringLiteral("Text."));
        QCOMPARE(retimed.speaker, QStringLiteral("Anna"));
    }

    void writtenForms_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("webvtt")
            << "forms.vtt"
            << QByteArray("WEBVTT\n\n"
                          "00:00:01.000 --> 00:00:02.500\n<v Anna>Fish &amp; chips.\n\n"
                          "00:00:03.250 --> 00:00:04.000\nIf a &lt; b --&gt; c\n\n"
                          "01:02:03.004 --> 01:02:05.000\n<v Mr &lt;X&gt;>Two\nlines\n\n");
        QTest::newRow("srt") << "forms.SRT"
                             << QByteArray("1\n00:00:01,000 --> 00:00:02,500\nFish & chips.\n\n"
                                           "2\n00:00:03,250 --> 00:00:04,000\nIf a < b --> c\n\n"
                                           "3\n01:02:03,004 --> 01:02:05,000\nTwo\nlines\n\n");
    }
    void writtenForms() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        const QList<CaptionCue> cues = {
            cue(1000, 2500, QStringLiteral("Fish & chips."), QStringLiteral("Anna")),
            cue(2000, 2100, QStringLiteral("  \n ")), // nothing said: left out
            cue(3250, 4000, QStringLiteral("If a < b --> c")),
            cue(3723004, 3725000, QStringLiteral("Two\n\n  lines "), QStringLiteral("Mr  <X>")),
        };
        const QString path = directory.filePath(name);
        QString error;
        QVERIFY2(lyrane::writeCaptions(path, cues, &error), qPrintable(error));
        QCOMPARE(contentOf(path), content);
    }

    // What lyrane writes, lyrane reads back to the same times and texts.
    void webVttReadsBack() {
        QList<CaptionCue> cues;
        for (int i = 0; i < 300; ++i) {
            const QString speaker =
                i % 3 == 0 ? QString() : QStringLiteral("Speaker %1").arg(i % 3);
            cues.append(cue(i * 2500LL + 7, i * 2500LL + 2100 + (i % 7) * 100,
                            QStringLiteral("Cue number %1, said once - and \"quoted\".").arg(i),
                            speaker));
        }
        cues.append(cue(36000000LL, 36000001LL, QStringLiteral("Ten hours in.")));
        const QString path = directory.filePath(QStringLiteral("readback.vtt"));
        QString error;
        QVERIFY2(lyrane::writeCaptions(path, cues, &error), qPrintable(error));

        const std::optional<lyrane::SubtitleFile> file =
            lyrane::readSubtitleFile(path, QString(), &error);
        QVERIFY2(file.has_value(), qPrintable(error));
        const QList<lyrane::Cue>* read = &file->cues;
        QCOMPARE(read->size(), cues.size());
        for (qsizetype i = 0; i < cues.size(); ++i) {
            QCOMPARE(read->at(i).startMs, cues[i].startMs);
            QCOMPARE(read->at(i).endMs, cues[i].endMs);
            QCOMPARE(read->at(i).text, cues[i].text);
        }
    }

    // Whatever a spoken text holds, lyrane reads back what it wrote, in both formats, and the
    // cues around it stay whole; line breaks read back as spaces.
    void hardTextsReadBack_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("read"); // empty: the text itself
        // clang-format off
        QTest::newRow("tag") << "Type <b> for bold." << "";
        QTest::newRow("reference") << "AT&amp;T &#13;&#13; &lt;3" << "";
        QTest::newRow("arrow") << "10 --> 20 km" << "";
        QTest::newRow("timing line") << "2\n00:00:01,000 --> 00:00:02,000" << "2 00:00:01,000 --> 00:00:02,000";
        QTest::newRow("override and codes") << "{\\an8} top {Y:i}{\\i1} {laughs}" << "";
        QTest::newRow("escapes") << "Line\\Nbreak \\h C:\\new \\" << "";
        QTest::newRow("less-than") << "x < y, <3 and <c It's a blue apple tree!" << "";
        QTest::newRow("ruby") << "<ruby>漢<rt>kan</rt></ruby> &" << "";
        QTest::newRow("carriage returns") << "Hello\r\rworld\r\nagain\nend" << "Hello world again end";
        QTest::newRow("only a number") << "72" << "";
        QTest::newRow("header and note") << "WEBVTT\nNOTE this" << "WEBVTT NOTE this";
        // clang-format on
    }
    void hardTextsReadBack() {
        QFETCH(QString, text);
        QFETCH(QString, read);
        const QString speaker = QStringLiteral("Anna <&> {\\an8}");
        for (const QString& name : {QStringLiteral("hard.srt"), QStringLiteral("hard.vtt")}) {
            const QString path = directory.filePath(name);
            QString error;
            QVERIFY2(lyrane::writeCaptions(path,
                                           {cue(0, 1000, QStringLiteral("Before.")),
                                            cue(1000, 2000, text, speaker),
                                            cue(2000, 3000, QStringLiteral("After."))},
                                           &error),
                     qPrintable(error));
            const std::optional<lyrane::SubtitleFile> file =
                lyrane::readSubtitleFile(path, QString(), &error);
            QVERIFY2(file.has_value(), qPrintable(error));
            const QList<lyrane::Cue>* cues = &file->cues;
            QStringList texts;
            for (const lyrane::Cue& c : *cues) {
                texts << QStringLiteral("%1-%2 %3").arg(c.startMs).arg(c.endMs).arg(c.text);
            }
            QCOMPARE(texts,
                     (QStringList{"0-1000 Before.", "1000-2000 " + (read.isEmpty() ? text : read),
                                  "2000-3000 After."}));
            QCOMPARE(cues->at(1).speaker, name.endsWith(".vtt") ? speaker : QString());
        }
    }

    void fileAppearsWholeOrNotAtAll() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString path = folder.filePath(QStringLiteral("kept.vtt"));
        QString error;
        QVERIFY2(lyrane::writeCaptions(path, {cue(0, 1000, QStringLiteral("Old."))}, &error),
                 qPrintable(error));
        const QByteArray old = contentOf(path);
        {
            CaptionWriter writer(path);
            QVERIFY2(writer.open(&error), qPrintable(error));
            QVERIFY2(writer.write(cue(0, 1000, QStringLiteral("New.")), &error), qPrintable(error));
            QCOMPARE(contentOf(path), old); // not before commit
        }
        QCOMPARE(contentOf(path), old); // nor when the run stops without committing
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("kept.vtt")}); // no temporary file left behind
    }

    void failures_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message"); // %1 is the path
        QTest::newRow("neither vtt nor srt")
            << "captions.txt"
            << "failed to write captions %1: the name must end in .vtt or .srt";
        QTest::newRow("missing folder") << "no/such/folder/captions.vtt"
                                        << "failed to write captions %1: ";
    }
    void failures() {
        QFETCH(QString, name);
        QFETCH(QString, message);
        const QString path = directory.filePath(name);
        QString error;
        QVERIFY(!lyrane::writeCaptions(path, {cue(0, 1000, QStringLiteral("Text."))}, &error));
        QVERIFY2(error.startsWith(message.arg(path)), qPrintable(error));
        QVERIFY(!QFileInfo::exists(path));
    }
};

QTEST_GUILESS_MAIN(CaptionWriterTest)
#include "test_caption_writer.moc"
