#include "cli/text_file.h"
#include "test_files.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace lyrane;

class TextFileTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString writeFile(const QString& name, const QByteArray& bytes) {
        return test::writeTestFile(dir, name, bytes);
    }

private slots:
    void contextFiles() {
        QString error;
        QCOMPARE(readUtf8TextFile(writeFile("blank.txt", " \n\t\r\n "), &error), QString());
        QVERIFY(error.isEmpty());
        QCOMPARE(readUtf8TextFile(writeFile("crlf.txt", "  one\r\ntwo\r\n"), &error),
                 QStringLiteral("one\ntwo"));
        QCOMPARE(readUtf8TextFile(writeFile("utf8.txt", "caf\xc3\xa9\n"), &error),
                 QStringLiteral("caf\u00e9"));
        QVERIFY(error.isEmpty());
        const QString missing = dir.filePath("missing.txt");
        QCOMPARE(readUtf8TextFile(missing, &error), QString());
        QCOMPARE(
            error,
            QStringLiteral("failed to read text file %1: No such file or directory").arg(missing));
    }
};

QTEST_GUILESS_MAIN(TextFileTest)
#include "test_text_file.moc"
