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
        qunsetenv("ELEVENLABS_API_KEY");
        QString error;
        QCOMPARE(loadApiKey(writeFile("key", "  sk_123\n"), &error), QStringLiteral("sk_123"));
        QVERIFY(error.isEmpty());
        QCOMPARE(loadApiKey(writeFile("empty-key", "\n"), &error), QString());
        QCOMPARE(error, QStringLiteral("ElevenLabs API key file is empty"));
        error.clear();
        QCOMPARE(loadApiKey(dir.filePath("none"), &error), QString());
        QCOMPARE(error,
                 QStringLiteral("failed to read ElevenLabs API key: No such file or directory"));

        qputenv("ELEVENLABS_API_KEY", "from-env\n");
        error.clear();
        QCOMPARE(loadApiKey(dir.filePath("none"), &error), QStringLiteral("from-env"));
        QVERIFY(error.isEmpty());
        qputenv("ELEVENLABS_API_KEY", "   ");
        QCOMPARE(loadApiKey(dir.filePath("none"), &error), QString());
        QVERIFY2(error.isEmpty(), "a blank key from the environment is not a file error");
        qunsetenv("ELEVENLABS_API_KEY");
    }
};

QTEST_GUILESS_MAIN(ApiKeyTest)
#include "test_api_key.moc"
