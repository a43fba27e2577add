#include "cache/cache_manager.h"
#include "synthesis/clip_format.h"
#include "synthesis/voice_settings.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using lyrane::CacheManager;

namespace {

QString md5Hex(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QStringList entriesOf(const QString& dir) {
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// A clip written where the cache keeps it, by the writer the clip source uses.
bool write(const CacheManager& cache, const QString& key, const QString& extension,
           const QByteArray& bytes, QString* error) {
    return lyrane::writeCacheFile(cache.getCachePath(key, extension), bytes, error);
}

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestCacheManager : public QObject {
    Q_OBJECT

private slots:
    void init();
    void keyRecipe_data();
    void keyRecipe();
    void knownKey();
    void keyDistinctions();
    void pathsAndExtensions();
    void constructorCreatesNestedDirectory();
    void writeReadRoundTrip();
    void writeReplacesWithoutLeftovers();
    void writeIntoUncreatableDirectory();
    void writeOverDirectoryFails();
    void staleTemporariesAreRemoved();

private:
    std::unique_ptr<QTemporaryDir> tempDir;
};

void TestCacheManager::init() {
    tempDir = std::make_unique<QTemporaryDir>();
    QVERIFY(tempDir->isValid());
}

void TestCacheManager::keyRecipe_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("previousText");
    QTest::addColumn<QString>("nextText");
    QTest::addColumn<QString>("voiceId");
    QTest::addColumn<double>("speed");
    QTest::addColumn<QByteArray>("hashedBytes");

    QTest::newRow("plain") << "abc"
                           << ""
                           << ""
                           << "v" << 1.0 << QByteArray("abcv1.00");
    QTest::newRow("context order") << "t"
                                   << "p"
                                   << "n"
                                   << "voice" << 1.0 << QByteArray("tpnvoice1.00");
    QTest::newRow("speed rounds down") << "abc"
                                       << ""
                                       << ""
                                       << "v" << 1.004 << QByteArray("abcv1.00");
    QTest::newRow("two decimals") << "abc"
                                  << ""
                                  << ""
                                  << "v" << 1.2 << QByteArray("abcv1.20");
    QTest::newRow("below one") << "abc"
                               << ""
                               << ""
                               << "v" << 0.85 << QByteArray("abcv0.85");
    QTest::newRow("utf-8 text") << QString::fromUtf8("Grüße 你好") << ""
                                << ""
                                << "v" << 1.0 << QByteArray("Grüße 你好v1.00");
}

void TestCacheManager::keyRecipe() {
    QFETCH(QString, text);
    QFETCH(QString, previousText);
    QFETCH(QString, nextText);
    QFETCH(QString, voiceId);
    QFETCH(double, speed);
    QFETCH(QByteArray, hashedBytes);

    const CacheManager cache(tempDir->path());
    const QString key =
        lyrane::clipCacheKey(text, previousText, nextText, voiceId, speed, lyrane::VoiceSettings());
    QCOMPARE(key, md5Hex(hashedBytes));
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(key).hasMatch(),
             qPrintable(key));
}

void TestCacheManager::knownKey() {
    // Digest taken from an outside MD5 tool; existing caches depend on it.
    const CacheManager cache(tempDir->path());
    QCOMPARE(lyrane::clipCacheKey("abc", "", "", "v", 1.0, lyrane::VoiceSettings()),
             QStringLiteral("0f7b6d4a1377de88a51a13a4a6925b94"));
    QCOMPARE(lyrane::clipCacheKey(QString::fromUtf8("Grüße"), "", "", "v", 0.85,
                                  lyrane::VoiceSettings()),
             QStringLiteral("88ceb2ae89adb777aba2f0078d1342c2"));
    // Take 1 is the clip as it always was; a later take adds "|take=N" after the settings.
    QCOMPARE(lyrane::clipCacheKey("abc", "", "", "v", 1.0, lyrane::VoiceSettings(), 1),
             QStringLiteral("0f7b6d4a1377de88a51a13a4a6925b94"));
    QCOMPARE(lyrane::clipCacheKey("abc", "", "", "v", 1.0, lyrane::VoiceSettings(), 2),
             QStringLiteral("0f40c4f14cccb0c704a5eb0bf7c42c29"));
    lyrane::VoiceSettings seeded;
    seeded.seed = 7;
    QCOMPARE(lyrane::clipCacheKey("abc", "", "", "v", 1.0, seeded, 3),
             QStringLiteral("899b92b641cf9721ca37eeb4d71afbb4"));
}

void TestCacheManager::keyDistinctions() {
    const CacheManager cache(tempDir->path());
    const QString base = lyrane::clipCacheKey("ab", "", "", "v", 1.0, lyrane::VoiceSettings());
    QCOMPARE(lyrane::clipCacheKey("a", "b", "", "v", 1.0, lyrane::VoiceSettings()), base);
    QCOMPARE(lyrane::clipCacheKey("ab", "", "", "v", 1.004, lyrane::VoiceSettings()), base);
    QVERIFY(lyrane::clipCacheKey("ab", "", "", "v", 1.01, lyrane::VoiceSettings()) != base);
    QVERIFY(lyrane::clipCacheKey("ab", "", "", "w", 1.0, lyrane::VoiceSettings()) != base);
    QVERIFY(lyrane::clipCacheKey("ab", "x", "", "v", 1.0, lyrane::VoiceSettings()) != base);
}

void TestCacheManager::pathsAndExtensions() {
    const QString dir = tempDir->filePath(QStringLiteral("clips"));
    const CacheManager cache(dir);
    QCOMPARE(cache.directory(), dir);
    const QString key = lyrane::clipCacheKey("hello", "", "", "v", 1.0, lyrane::VoiceSettings());

    QVERIFY(!QFileInfo::exists(cache.getCachePath(key, ".mp3")));
    QVERIFY(write(cache, key, ".mp3", "ID3", nullptr));
    QVERIFY(QFileInfo::exists(cache.getCachePath(key, ".mp3")));
    QVERIFY(!QFileInfo::exists(cache.getCachePath(key, ".wav")));
}

void TestCacheManager::constructorCreatesNestedDirectory() {
    const QString dir = tempDir->filePath(QStringLiteral("a/b/c"));
    const CacheManager cache(dir);
    QVERIFY(QFileInfo(dir).isDir());
}

void TestCacheManager::writeReadRoundTrip() {
    const CacheManager cache(tempDir->path());
    QByteArray data;
    for (int i = 0; i < 70000; ++i) {
        data.append(char(i * 7));
    }
    data.append('\r').append('\n').append('\0');
    QString error;
    QVERIFY2(write(cache, "k", ".wav", data, &error), qPrintable(error));
    QCOMPARE(contentOf(cache.getCachePath("k", ".wav")), data);
}

void TestCacheManager::writeReplacesWithoutLeftovers() {
    const CacheManager cache(tempDir->path());
    QVERIFY(write(cache, "k", ".mp3", QByteArray(4096, 'x'), nullptr));
    QVERIFY(write(cache, "k", ".mp3", "short", nullptr));
    QCOMPARE(contentOf(cache.getCachePath("k", ".mp3")), QByteArray("short"));
    QVERIFY(write(cache, "k", ".mp3", QByteArray(), nullptr));
    QCOMPARE(contentOf(cache.getCachePath("k", ".mp3")), QByteArray());
    QCOMPARE(entriesOf(tempDir->path()), QStringList{QStringLiteral("k.mp3")});
}

void TestCacheManager::writeIntoUncreatableDirectory() {
    // A regular file where a parent directory should be: neither creation nor writing works,
    // whatever the user's permissions.
    const QString blocker = tempDir->filePath(QStringLiteral("blocker"));
    QVERIFY(QFile(blocker).open(QIODevice::WriteOnly));
    const CacheManager cache(blocker + QStringLiteral("/cache"));

    QString error;
    QVERIFY(!write(cache, "k", ".wav", "data", &error));
    const QString prefix =
        QStringLiteral("failed to write cache file %1: ").arg(cache.getCachePath("k", ".wav"));
    QVERIFY2(error.startsWith(prefix) && error.size() > prefix.size(), qPrintable(error));
    QVERIFY(!QFileInfo::exists(cache.getCachePath("k", ".wav")));
    QCOMPARE(entriesOf(tempDir->path()), QStringList{QStringLiteral("blocker")});
    QCOMPARE(QFileInfo(blocker).size(), qint64(0));
    QVERIFY(!write(cache, "k", ".wav", "data", nullptr));
}

void TestCacheManager::writeOverDirectoryFails() {
    // Something that is not a file holds the clip's name: the write fails and the
    // temporary file is not left behind.
    const CacheManager cache(tempDir->path());
    QVERIFY(QDir(tempDir->path()).mkpath(QStringLiteral("k.wav/inner")));

    QString error;
    QVERIFY(!write(cache, "k", ".wav", "data", &error));
    QVERIFY2(error.startsWith(QStringLiteral("failed to write")) &&
                 error.contains(cache.getCachePath("k", ".wav")),
             qPrintable(error));
    QCOMPARE(entriesOf(tempDir->path()), QStringList{QStringLiteral("k.wav")});
    QVERIFY(QFileInfo(cache.getCachePath("k", ".wav")).isDir());
}

// Only old leftovers of downloads and writes go; clips, young temporaries (a run may still be
// using them) and files of other shapes stay.
void TestCacheManager::staleTemporariesAreRemoved() {
    const CacheManager cache(tempDir->path());
    const QString key = md5Hex("clip");
    const QStringList stale{key + ".wav.s3-AbC123", key + ".mp3.s3-x1Y2z3", key + ".wav.Qk9aZ0"};
    const QStringList kept{key + ".wav",          key + ".mp3",      key + ".wav.s3-young1",
                           "notes.txt.s3-AbC123", key + ".wav.part", key + ".ogg.s3-AbC123"};
    const QDateTime twoHoursAgo = QDateTime::currentDateTime().addSecs(-7200);
    for (const QString& name : stale + kept) {
        QFile file(QDir(tempDir->path()).filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
        file.flush();
        if (!name.endsWith(QLatin1String("young1"))) {
            QVERIFY(file.setFileTime(twoHoursAgo, QFileDevice::FileModificationTime));
        }
    }
    QCOMPARE(cache.removeStaleTemporaries(QDateTime::currentDateTime().addSecs(-3600)),
             int(stale.size()));
    QStringList expected = kept;
    expected.sort();
    QCOMPARE(entriesOf(tempDir->path()), expected);
}

QTEST_GUILESS_MAIN(TestCacheManager)
#include "test_cache_manager.moc"
