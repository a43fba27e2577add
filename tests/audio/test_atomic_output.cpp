#include "audio/atomic_output.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace lyrane;

namespace {

QStringList entries(const QString& path) {
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

} // namespace

class AtomicOutputTest : public QObject {
    Q_OBJECT

private slots:
    // Committed: the new bytes under the name, with the old file's permissions; not
    // committed: the old bytes; either way nothing beside it.
    void replacesWholeOrNotAtAll_data() {
        QTest::addColumn<bool>("commit");
        QTest::newRow("committed") << true;
        QTest::newRow("abandoned") << false;
    }

    void replacesWholeOrNotAtAll() {
        QFETCH(bool, commit);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("out.wav"));
        QVERIFY(writeFile(target, "old"));
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        {
            AtomicOutput output(target);
            QVERIFY(!output.direct());
            QVERIFY(QRegularExpression(QStringLiteral("/\\.out\\.wav\\.%1-[0-9a-f]{8}\\.part$")
                                           .arg(QCoreApplication::applicationPid()))
                        .match(output.writePath())
                        .hasMatch());
            QFile file;
            QVERIFY(output.open(file));
            QCOMPARE(file.write("new"), qint64(3));
            QCOMPARE(contents(target), QByteArray("old"));
            if (commit) {
                QString reason;
                QVERIFY2(output.finish(file, &reason), qPrintable(reason));
            }
        }
        QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("out.wav")});
        QCOMPARE(contents(target), commit ? QByteArray("new") : QByteArray("old"));
        const QFileDevice::Permissions kept = QFile::permissions(target);
        QVERIFY(kept.testFlag(QFileDevice::WriteOwner) && !kept.testFlag(QFileDevice::ReadGroup) &&
                !kept.testFlag(QFileDevice::ReadOther));
    }

    void devicesAreWrittenDirectly() {
        AtomicOutput output(QStringLiteral("/dev/null"));
        QVERIFY(output.direct());
        QCOMPARE(output.writePath(), QStringLiteral("/dev/null"));
        QFile file;
        QVERIFY(output.open(file));
        QVERIFY(output.finish(file, nullptr));
        QVERIFY(QFileInfo(QStringLiteral("/dev/null")).exists());
    }

    // Leftovers of killed runs go once over an hour old; fresh ones may be another run's.
    void staleTemporariesGo_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("ageMinutes");
        QTest::addColumn<bool>("removed");
        // clang-format off
        QTest::newRow("old partial output") << ".out.mp4.123-abcd.part" << 120 << true;
        QTest::newRow("fresh partial output") << ".out.mp4.123-abcd.part" << 30 << false;
        QTest::newRow("old, not hidden") << "out.mp4.123-abcd.part" << 120 << false;
        QTest::newRow("old, no pid") << ".out.mp4.part" << 120 << false;
        QTest::newRow("old output itself") << "out.mp4" << 120 << false;
        // clang-format on
    }

    void staleTemporariesGo() {
        QFETCH(QString, name);
        QFETCH(int, ageMinutes);
        QFETCH(bool, removed);
        QTemporaryDir dir;
        const QString planted = dir.filePath(name);
        QVERIFY(writeFile(planted, "left"));
        QFile file(planted);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-60 * ageMinutes),
                                 QFileDevice::FileModificationTime));
        file.close();
        AtomicOutput output(dir.filePath(QStringLiteral("out.mp4")));
        QCOMPARE(QFile::exists(planted), !removed);
    }
};

QTEST_GUILESS_MAIN(AtomicOutputTest)
#include "test_atomic_output.moc"
