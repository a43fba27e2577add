#include "serve/file_answer.h"

#include <QtTest>

using lyrane::FileSpan;
using Kind = FileSpan::Kind;

class FileAnswerTest : public QObject {
    Q_OBJECT

private slots:
    void spans_data() {
        QTest::addColumn<QByteArray>("range");
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("first");
        QTest::addColumn<qint64>("length");
        const int whole = int(Kind::Whole), part = int(Kind::Part);
        const int none = int(Kind::Unsatisfiable);
        // A file of 1,000 bytes.
        // clang-format off
        QTest::newRow("no header") << QByteArray() << whole << 0LL << 1000LL;
        QTest::newRow("from the start") << QByteArray("bytes=0-") << part << 0LL << 1000LL;
        QTest::newRow("closed") << QByteArray("bytes=10-19") << part << 10LL << 10LL;
        QTest::newRow("one byte") << QByteArray("bytes=0-0") << part << 0LL << 1LL;
        QTest::newRow("past the end") << QByteArray("bytes=900-5000") << part << 900LL << 100LL;
        QTest::newRow("suffix") << QByteArray("bytes=-100") << part << 900LL << 100LL;
        QTest::newRow("suffix longer") << QByteArray("bytes=-5000") << part << 0LL << 1000LL;
        QTest::newRow("starts at the end") << QByteArray("bytes=1000-") << none << 0LL << 0LL;
        QTest::newRow("empty suffix") << QByteArray("bytes=-0") << none << 0LL << 0LL;
        QTest::newRow("backwards") << QByteArray("bytes=20-10") << whole << 0LL << 1000LL;
        QTest::newRow("two ranges") << QByteArray("bytes=0-1,5-9") << whole << 0LL << 1000LL;
        QTest::newRow("other unit") << QByteArray("items=0-9") << whole << 0LL << 1000LL;
        QTest::newRow("no ends") << QByteArray("bytes=-") << whole << 0LL << 1000LL;
        QTest::newRow("huge") << QByteArray("bytes=99999999999999999999-") << whole << 0LL << 1000LL;
        // clang-format on
    }
    void spans() {
        QFETCH(QByteArray, range);
        QFETCH(int, kind);
        QFETCH(qint64, first);
        QFETCH(qint64, length);
        const FileSpan span = lyrane::requestedSpan(range, 1000);
        QCOMPARE(int(span.kind), kind);
        QCOMPARE(span.first, first);
        QCOMPARE(span.length, length);
    }

    // Only the names made for the files are found; a path is never read as one.
    void servedNames_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("file");
        // clang-format off
        QTest::newRow("clip") << "/clips/a1.wav" << "/cache/a1.wav";
        QTest::newRow("narration") << "/narration.mp3" << "/work/talk.mp3";
        QTest::newRow("dot segment") << "/clips/../narration.mp3" << "";
        QTest::newRow("encoded slash") << "/clips/..%2Fa1.wav" << "";
        QTest::newRow("encoded name") << "/clips/a%31.wav" << "";
        QTest::newRow("trailing slash") << "/clips/a1.wav/" << "";
        QTest::newRow("the cache") << "/clips/" << "";
        QTest::newRow("the output by its own name") << "/talk.mp3" << "";
        // clang-format on
    }
    void servedNames() {
        QFETCH(QString, path);
        QFETCH(QString, file);
        lyrane::ServedFiles files;
        QCOMPARE(files.clipAddress(QStringLiteral("/cache/a1.wav")),
                 QStringLiteral("/clips/a1.wav"));
        QCOMPARE(files.setNarration(QStringLiteral("/work/talk.MP3")),
                 QStringLiteral("/narration.mp3"));
        QCOMPARE(files.find(path).value_or(QString()).toLower(), file);
    }
};

QTEST_GUILESS_MAIN(FileAnswerTest)
#include "test_file_answer.moc"
