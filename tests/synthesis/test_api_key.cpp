#include "synthesis/api_key.h"
#include "test_files.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace lyrane;

class ApiKeyTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString writeFile(const QString& name, const QByteArray& bytes) {
        return test::writeTestFile(dir, name, bytes);
    }

private slots:
    void apiKeys() {
        QString error;
        QCOMPARE(loadApiKey(writeFile("key", "  sk_123\n"), QString(), &error),
                 QStringLiteral("sk_123"));
        QVERIFY(error.isEmpty());
        QCOMPARE(loadApiKey(writeFile("empty-key", "\n"), QString(), &error), QString());
        QCOMPARE(error, QStringLiteral("ElevenLabs API key file is empty"));
        error.clear();
        QCOMPARE(loadApiKey(dir.filePath("none"), QString(), &error), QString());
        QCOMPARE(error,
                 QStringLiteral("failed to read ElevenLabs API key: No such file or directory"));

        error.clear();
        QCOMPARE(loadApiKey(dir.filePath("none"), QStringLiteral("from-env\n"), &error),
                 QStringLiteral("from-env"));
        QVERIFY(error.isEmpty());
        QCOMPARE(loadApiKey(dir.filePath("none"), QStringLiteral("   "), &error), QString());
        QVERIFY2(error.isEmpty(), "a blank key from the environment is not a file error");
    }
};

QTEST_GUILESS_MAIN(ApiKeyTest)
#include "test_api_key.moc"
