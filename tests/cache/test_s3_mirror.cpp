#include "cache/s3_mirror.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using lyrane::S3Mirror;

namespace {

const char* const kNotFound =
    "An error occurred (404) when calling the HeadObject operation: Not Found";
const char* const kCredentials = "Unable to locate credentials. You can configure credentials by "
                                 "running \"aws configure\".";

// Bytes of every value, so that any text-mode or truncating copy shows up.
QByteArray patternBytes() {
    QByteArray bytes;
    for (int i = 0; i < 3000; ++i) {
        bytes.append(char((i * 7) & 0xff));
    }
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeScript(const QString& path, const QString& text) {
    return writeFile(path, text.toUtf8()) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString python3() {
    const QString system =
        QStandardPaths::findExecutable(QStringLiteral("python3"), {QStringLiteral("/usr/bin")});
    return system.isEmpty() ? QStringLiteral("python3") : system;
}

// Blocking forms of the mirror's operations, for tests: each runs to its end on a local loop.
void runToCompletion(const std::function<void(QObject*, const std::function<void()>&)>& start) {
    QEventLoop loop;
    bool finished = false;
    QObject context;
    start(&context, [&] {
        finished = true;
        loop.quit();
    });
    if (!finished) {
        loop.exec();
    }
}

void setError(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
}

// The outputs are filled once the tool ran to its end; without `errorOutput` a failure is
// reported by exit status alone.
bool runAws(const S3Mirror& cache, const QList<QString>& arguments, QByteArray* standardOutput,
            QByteArray* errorOutput, QString* error) {
    S3Mirror::AwsResult result;
    runToCompletion([&](QObject* context, const std::function<void()>& finish) {
        lyrane::runAws(cache.awsExecutable().isEmpty() ? QStringLiteral("aws")
                                                       : cache.awsExecutable(),
                       arguments, cache.callTimeoutMs(), context,
                       [&result, finish](const S3Mirror::AwsResult& r) {
                           result = r;
                           finish();
                       });
    });
    if (!result.completed) {
        setError(error, result.error);
        return false;
    }
    if (standardOutput) {
        *standardOutput = result.standardOutput;
    }
    if (errorOutput) {
        *errorOutput = result.errorOutput;
    }
    if (result.ok) {
        return true;
    }
    setError(error, errorOutput
                        ? result.error
                        : QStringLiteral("aws CLI exited with code %1").arg(result.exitCode));
    return false;
}

bool exists(const S3Mirror& cache, const QString& objectKey, bool* found, QString* error) {
    if (found) {
        *found = false;
    }
    bool ok = false;
    bool isThere = false;
    QString message;
    runToCompletion([&](QObject* context, const std::function<void()>& finish) {
        cache.existsAsync(objectKey, context, [&, finish](bool o, bool f, const QString& e) {
            ok = o;
            isThere = f;
            message = e;
            finish();
        });
    });
    if (!ok) {
        setError(error, message);
        return false;
    }
    if (found) {
        *found = isThere;
    }
    if (!isThere && error) {
        error->clear();
    }
    return true;
}

bool downloadIfExists(const S3Mirror& cache, const QString& objectKey, const QString& localPath,
                      bool* downloaded, QString* error) {
    if (downloaded) {
        *downloaded = false;
    }
    bool ok = false;
    bool fetched = false;
    QString message;
    runToCompletion([&](QObject* context, const std::function<void()>& finish) {
        cache.downloadIfExistsAsync(objectKey, localPath, context,
                                    [&, finish](bool o, bool f, const QString& e) {
                                        ok = o;
                                        fetched = f;
                                        message = e;
                                        finish();
                                    });
    });
    if (!ok) {
        setError(error, message);
        return false;
    }
    if (downloaded) {
        *downloaded = fetched;
    }
    if (!fetched && error) {
        error->clear();
    }
    return true;
}

bool uploadFile(const S3Mirror& cache, const QString& objectKey, const QString& localPath,
                const QString& contentType, QString* error) {
    bool ok = false;
    QString message;
    runToCompletion([&](QObject* context, const std::function<void()>& finish) {
        cache.uploadFileAsync(objectKey, localPath, contentType, context,
                              [&, finish](bool o, const QString& e) {
                                  ok = o;
                                  message = e;
                                  finish();
                              });
    });
    if (!ok) {
        setError(error, message);
    }
    return ok;
}

} // namespace

class TestS3Mirror : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void parsesSetting_data();
    void parsesSetting();
    void formsObjectKey_data();
    void formsObjectKey();
    void recognisesNotFound_data();
    void recognisesNotFound();

    void passesExactArguments_data();
    void passesExactArguments();
    void downloadsThroughTemporaryFile();
    void reportsFailures_data();
    void reportsFailures();
    void keepsOutputsApart();
    void omitsErrorTextWithoutErrorOutput();
    void endsSlowToolWithTimeOut();
    void closesStandardInput();
    void reportsToolThatCannotStart();
    void refusesWithoutTool();

    void asyncDeliversExactlyOnce_data();
    void asyncDeliversExactlyOnce();
    void asyncDropsCallbackWithContext();

    void roundTripsThroughS3Server();

private:
    QStringList loggedCall(int index) const;
    int loggedCount() const;

    QTemporaryDir work;
    QString binDir;
    QString logPath;
    QByteArray originalPath;
};

void TestS3Mirror::initTestCase() {
    QVERIFY(work.isValid());
    const QString fake = QStringLiteral(LYRANE_FAKE_AWS);
    QVERIFY2(QFile::exists(fake), qPrintable(fake));
    binDir = work.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(binDir));
    QVERIFY(writeScript(binDir + QStringLiteral("/aws"),
                        QStringLiteral("#!/bin/sh\nexec %1 %2 \"$@\"\n").arg(python3(), fake)));
    logPath = work.filePath(QStringLiteral("aws.log"));
    originalPath = qgetenv("PATH");
    qputenv("PATH", binDir.toLocal8Bit() + ':' + originalPath);
    qputenv("FAKE_AWS_LOG", logPath.toLocal8Bit());
}

void TestS3Mirror::init() {
    QFile::remove(logPath);
    qunsetenv("FAKE_AWS_MODE");
    qunsetenv("FAKE_AWS_STORE");
    qunsetenv("FAKE_AWS_FIXTURE");
}

void TestS3Mirror::cleanup() {
    qputenv("PATH", binDir.toLocal8Bit() + ':' + originalPath);
}

int TestS3Mirror::loggedCount() const {
    const QByteArray log = readFile(logPath);
    return log.isEmpty() ? 0 : int(log.count('\n'));
}

QStringList TestS3Mirror::loggedCall(int index) const {
    const QList<QByteArray> lines = readFile(logPath).split('\n');
    if (index >= lines.size()) {
        return {};
    }
    QStringList arguments;
    for (const QJsonValue& value : QJsonDocument::fromJson(lines.at(index)).array()) {
        arguments << value.toString();
    }
    return arguments;
}

void TestS3Mirror::parsesSetting_data() {
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("bucket");
    QTest::addColumn<QString>("prefix");

    QTest::newRow("scheme, bucket and prefix") << "s3://media-cache/tts/clips"
                                               << "media-cache"
                                               << "tts/clips/";
    QTest::newRow("blanks around a bare bucket") << " media-cache "
                                                 << "media-cache"
                                                 << "";
    QTest::newRow("trailing slash only") << "s3://media-cache/"
                                         << "media-cache"
                                         << "";
    QTest::newRow("prefix already ending in slash") << "media-cache/a/b/"
                                                    << "media-cache"
                                                    << "a/b/";
    QTest::newRow("blanks around both parts") << "s3:// media-cache / clips "
                                              << "media-cache"
                                              << "clips/";
    QTest::newRow("double slash keeps a leading slash") << "s3://media-cache//clips"
                                                        << "media-cache"
                                                        << "/clips/";
    QTest::newRow("scheme is case-sensitive") << "S3://media-cache"
                                              << "S3:"
                                              << "/media-cache/";
    QTest::newRow("no bucket before the slash") << "s3:///clips"
                                                << ""
                                                << "clips/";
    QTest::newRow("empty") << ""
                           << ""
                           << "";
    QTest::newRow("blank") << "  \t "
                           << ""
                           << "";
    QTest::newRow("scheme alone") << "s3://"
                                  << ""
                                  << "";
}

void TestS3Mirror::parsesSetting() {
    QFETCH(QString, setting);
    QFETCH(QString, bucket);
    QFETCH(QString, prefix);

    const S3Mirror cache(setting);
    QCOMPARE(cache.bucketName(), bucket);
    QCOMPARE(cache.keyPrefix(), prefix);
    QCOMPARE(cache.isEnabled(), !bucket.isEmpty());
    // The tool is looked up only for an enabled mirror.
    QCOMPARE(cache.awsExecutable(), bucket.isEmpty() ? QString() : binDir + QStringLiteral("/aws"));
    QString error;
    QVERIFY(cache.ensureAvailable(&error));
    QVERIFY(error.isEmpty());
}

void TestS3Mirror::formsObjectKey_data() {
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QString>("expected");

    const QString key = QStringLiteral("0123456789abcdef0123456789abcdef");
    QTest::newRow("prefix, wav") << "s3://media-cache/tts/clips"
                                 << ".wav"
                                 << "tts/clips/" + key + ".wav";
    QTest::newRow("prefix, mp3") << "s3://media-cache/tts/clips/"
                                 << ".mp3"
                                 << "tts/clips/" + key + ".mp3";
    QTest::newRow("no prefix") << "media-cache"
                               << ".wav" << key + ".wav";
}

void TestS3Mirror::formsObjectKey() {
    QFETCH(QString, setting);
    QFETCH(QString, extension);
    QFETCH(QString, expected);
    QCOMPARE(
        S3Mirror(setting).objectKey(QStringLiteral("0123456789abcdef0123456789abcdef"), extension),
        expected);
}

void TestS3Mirror::recognisesNotFound_data() {
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("errorOutput");
    QTest::addColumn<bool>("notFound");
    QTest::newRow("head-object 404") << 254 << QByteArray(kNotFound) << true;
    QTest::newRow("head-object 404, version 1") << 255 << QByteArray(kNotFound) << true;
    QTest::newRow("head-object NoSuchKey")
        << 254
        << QByteArray("\nAn error occurred (NoSuchKey) when calling the HeadObject operation: "
                      "The specified key does not exist.\n")
        << true;
    QTest::newRow("404 answer, other status") << 1 << QByteArray(kNotFound) << false;
    QTest::newRow("bare status code") << 254 << QByteArray("404") << false;
    QTest::newRow("upper case") << 254 << QByteArray("NOT FOUND") << true;
    QTest::newRow("error line, upper case") << 255 << QByteArray("Error: NOT FOUND\n") << true;
    QTest::newRow("not found, other status") << 1 << QByteArray("Error: Not Found") << false;
    QTest::newRow("no such key in prose") << 254 << QByteArray("Error: No Such Key here") << false;
    QTest::newRow("after non-ASCII text")
        << 254 << QByteArray("Fehler: Schlüssel not found") << true;
    QTest::newRow("404 in an endpoint address")
        << 255
        << QByteArray("Could not connect to the endpoint URL: \"http://10.0.0.404:9000/b/k\"")
        << false;
    QTest::newRow("credentials") << 255 << QByteArray(kCredentials) << false;
    QTest::newRow("forbidden")
        << 254
        << QByteArray("An error occurred (403) when calling the HeadObject operation: Forbidden")
        << false;
    QTest::newRow("empty") << 254 << QByteArray() << false;
}

void TestS3Mirror::recognisesNotFound() {
    QFETCH(int, exitCode);
    QFETCH(QByteArray, errorOutput);
    QFETCH(bool, notFound);
    QCOMPARE(S3Mirror::isAbsentAnswer(exitCode, errorOutput), notFound);
}

void TestS3Mirror::passesExactArguments_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("contentType");
    QTest::addColumn<QStringList>("expected");

    const QString key = QStringLiteral("tts/clips/0123456789abcdef0123456789abcdef.wav");
    QTest::newRow("head-object") << "exists"
                                 << "" << QStringList{"s3api",       "head-object", "--bucket",
                                                      "media-cache", "--key",       key};
    QTest::newRow("put-object with content type")
        << "upload"
        << "audio/wav"
        << QStringList{"s3api", "put-object", "--bucket", "media-cache",    "--key",
                       key,     "--body",     "BODY",     "--content-type", "audio/wav"};
    QTest::newRow("put-object without content type")
        << "upload"
        << "" << QStringList{"s3api", "put-object", "--bucket", "media-cache",
                             "--key", key,          "--body",   "BODY"};
    // The claims' and take records' calls, as they were before they shared an interface with
    // the HTTP client. TEMP is a temporary file of the mirror's own.
    const QString claim = QStringLiteral("tts/clips/k.claim");
    const QStringList object{"--bucket", "media-cache", "--key", claim};
    // clang-format off
    QTest::newRow("claim") << "claim" << "application/json" << QStringList{"s3api", "put-object"} + object + QStringList{"--body", "TEMP", "--content-type", "application/json", "--if-none-match", "*"};
    QTest::newRow("claim taken over") << "take over" << "application/json" << QStringList{"s3api", "put-object"} + object + QStringList{"--body", "TEMP", "--content-type", "application/json", "--if-match", "\"e1\""};
    QTest::newRow("claim read") << "read" << "" << QStringList{"s3api", "get-object"} + object + QStringList{"TEMP"};
    QTest::newRow("claim removed") << "remove" << "" << QStringList{"s3api", "delete-object"} + object;
    QTest::newRow("claim removed by a stopping run") << "remove now" << "" << QStringList{"s3api", "delete-object"} + object;
    QTest::newRow("take records listed") << "list" << "" << QStringList{"s3api", "list-objects-v2", "--bucket", "media-cache", "--prefix", "tts/clips/takes/", "--output", "json"};
    QTest::newRow("take record fetched") << "get" << "" << QStringList{"s3api", "get-object"} + object + QStringList{"BODY"};
    // clang-format on
}

void TestS3Mirror::passesExactArguments() {
    QFETCH(QString, operation);
    QFETCH(QString, contentType);
    QFETCH(QStringList, expected);

    const S3Mirror cache(QStringLiteral("s3://media-cache/tts/clips"));
    const QString key =
        cache.objectKey(QStringLiteral("0123456789abcdef0123456789abcdef"), QStringLiteral(".wav"));
    // A path with blanks and shell characters must arrive as one unchanged argument.
    const QString body = work.filePath(QStringLiteral("clip $(x) 'a'.wav"));
    QVERIFY(writeFile(body, patternBytes()));
    expected.replaceInStrings(QStringLiteral("BODY"), body);

    QString error = QStringLiteral("untouched");
    const QString claim = QStringLiteral("tts/clips/k.claim");
    bool answered = false;
    QObject context;
    const auto written = [&](lyrane::ObjectWrite, const QString&) {
        answered = true;
    };
    const auto finished = [&](bool, const QString&) {
        answered = true;
    };
    if (operation == QLatin1String("exists")) {
        bool found = false;
        QVERIFY(exists(cache, key, &found, &error));
        QVERIFY(found);
        answered = true;
    } else if (operation == QLatin1String("upload")) {
        answered = uploadFile(cache, key, body, contentType, &error);
    } else if (operation == QLatin1String("claim") || operation == QLatin1String("take over")) {
        const QString ifMatch = operation == QLatin1String("claim") ? QString() : "\"e1\"";
        cache.writeIfAsync(claim, "{}", contentType, ifMatch, &context, written);
    } else if (operation == QLatin1String("read")) {
        cache.readAsync(claim, &context, [&](const lyrane::StoredObject&) { answered = true; });
    } else if (operation == QLatin1String("remove")) {
        cache.removeAsync(claim, &context, finished);
    } else if (operation == QLatin1String("remove now")) {
        cache.removeNow({claim}, 20000);
        answered = true;
    } else if (operation == QLatin1String("list")) {
        cache.listAsync(
            cache.keyPrefix() + "takes/", &context,
            [&](bool, const QList<lyrane::ListedObject>&, const QString&) { answered = true; });
    } else {
        cache.getFileAsync(claim, body, &context, finished);
    }
    QTRY_VERIFY_WITH_TIMEOUT(answered, 20000);
    QCOMPARE(error, QStringLiteral("untouched"));
    QCOMPARE(loggedCount(), 1);
    QStringList call = loggedCall(0);
    if (expected.contains(QStringLiteral("TEMP"))) {
        const qsizetype at = expected.indexOf(QStringLiteral("TEMP"));
        QVERIFY(call.size() > at && QFileInfo(call[at]).isAbsolute());
        call[at] = QStringLiteral("TEMP");
    }
    QCOMPARE(call, expected);
}

void TestS3Mirror::downloadsThroughTemporaryFile() {
    const S3Mirror cache(QStringLiteral("media-cache"));
    QTemporaryDir cacheDir;
    const QString fixture = work.filePath(QStringLiteral("fixture.bin"));
    QVERIFY(writeFile(fixture, patternBytes()));
    qputenv("FAKE_AWS_FIXTURE", fixture.toLocal8Bit());
    const QString clip = cacheDir.filePath(QStringLiteral("abc.wav"));

    bool downloaded = false;
    QString error;
    QVERIFY2(downloadIfExists(cache, QStringLiteral("abc.wav"), clip, &downloaded, &error),
             qPrintable(error));
    QVERIFY(downloaded);
    QCOMPARE(readFile(clip), patternBytes());

    QCOMPARE(loggedCount(), 2);
    QCOMPARE(loggedCall(0),
             (QStringList{"s3api", "head-object", "--bucket", "media-cache", "--key", "abc.wav"}));
    const QStringList get = loggedCall(1);
    QCOMPARE(get.size(), 7);
    QCOMPARE(get.mid(0, 6),
             (QStringList{"s3api", "get-object", "--bucket", "media-cache", "--key", "abc.wav"}));
    // The tool writes beside the clip, never onto it.
    QVERIFY2(get.at(6).startsWith(clip + QStringLiteral(".s3-")), qPrintable(get.at(6)));
    QCOMPARE(QDir(cacheDir.path()).entryList(QDir::Files), QStringList{"abc.wav"});
    QVERIFY(QFileInfo(clip).permissions().testFlag(QFile::ReadOther));
}

void TestS3Mirror::reportsFailures_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("calls");

    const QString credentials = QStringLiteral("aws CLI error: ") + kCredentials;
    QTest::newRow("credentials, check") << "fail-credentials"
                                        << "exists" << false << credentials << 1;
    QTest::newRow("credentials, download") << "fail-credentials"
                                           << "download" << false << credentials << 1;
    QTest::newRow("credentials, upload") << "fail-credentials"
                                         << "upload" << false << credentials << 1;
    QTest::newRow("silent exit, check") << "exit-silent"
                                        << "exists" << false << "aws CLI exited with code 3" << 1;
    QTest::newRow("silent exit, upload") << "exit-silent"
                                         << "upload" << false << "aws CLI exited with code 3" << 1;
    QTest::newRow("missing object, check") << "not-found"
                                           << "exists" << true << "" << 1;
    QTest::newRow("missing object, download") << "not-found"
                                              << "download" << true << "" << 1;
    QTest::newRow("upload refused")
        << "fail-put"
        << "upload" << false
        << "aws CLI error: An error occurred (AccessDenied) when calling the PutObject "
           "operation: Access Denied"
        << 1;
    QTest::newRow("download broken off")
        << "fail-get"
        << "download" << false
        << "aws CLI error: Connection was closed before we received a valid response from "
           "endpoint URL"
        << 2;
}

void TestS3Mirror::reportsFailures() {
    QFETCH(QString, mode);
    QFETCH(QString, operation);
    QFETCH(bool, ok);
    QFETCH(QString, error);
    QFETCH(int, calls);

    qputenv("FAKE_AWS_MODE", mode.toUtf8());
    const S3Mirror cache(QStringLiteral("media-cache"));
    QTemporaryDir cacheDir;
    const QString clip = cacheDir.filePath(QStringLiteral("abc.wav"));
    const QString body = work.filePath(QStringLiteral("body.wav"));
    QVERIFY(writeFile(body, patternBytes()));

    // A stale message must be replaced on failure and cleared for a missing object.
    QString message = QStringLiteral("stale");
    bool result = false;
    bool flag = true;
    if (operation == QLatin1String("exists")) {
        result = exists(cache, QStringLiteral("abc.wav"), &flag, &message);
    } else if (operation == QLatin1String("download")) {
        result = downloadIfExists(cache, QStringLiteral("abc.wav"), clip, &flag, &message);
    } else {
        flag = false;
        result = uploadFile(cache, QStringLiteral("abc.wav"), body, QStringLiteral("audio/wav"),
                            &message);
    }
    QCOMPARE(result, ok);
    QCOMPARE(message, error);
    QVERIFY(!flag);
    QCOMPARE(loggedCount(), calls);
    // Nothing of a failed or skipped download is left in the cache directory.
    QCOMPARE(QDir(cacheDir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestS3Mirror::keepsOutputsApart() {
    const S3Mirror cache(QStringLiteral("media-cache"));
    const QList<QString> head{"s3api", "head-object", "--bucket", "media-cache", "--key", "k"};
    QByteArray out;
    QByteArray err;
    QString error;
    QVERIFY(runAws(cache, head, &out, &err, &error));
    QVERIFY(out.contains("ContentLength"));
    QVERIFY(err.isEmpty());

    qputenv("FAKE_AWS_MODE", "not-found");
    QVERIFY(!runAws(cache, head, &out, &err, &error));
    QVERIFY(out.isEmpty());
    QCOMPARE(err.trimmed(), QByteArray(kNotFound));
    QCOMPARE(error, QStringLiteral("aws CLI error: ") + kNotFound);
}

void TestS3Mirror::omitsErrorTextWithoutErrorOutput() {
    qputenv("FAKE_AWS_MODE", "fail-credentials");
    const S3Mirror cache(QStringLiteral("media-cache"));
    QString error;
    QVERIFY(!runAws(cache, {"s3api", "head-object"}, nullptr, nullptr, &error));
    QCOMPARE(error, QStringLiteral("aws CLI exited with code 255"));
    QVERIFY(!runAws(cache, {"s3api", "head-object"}, nullptr, nullptr, nullptr));
}

void TestS3Mirror::endsSlowToolWithTimeOut() {
    qputenv("FAKE_AWS_MODE", "sleep=30");
    S3Mirror cache(QStringLiteral("media-cache"));
    cache.setTimeoutMs(400);
    QTemporaryDir cacheDir;
    const QString clip = cacheDir.filePath(QStringLiteral("abc.wav"));

    QElapsedTimer clock;
    clock.start();
    QString error;
    bool found = true;
    QVERIFY(!exists(cache, QStringLiteral("abc.wav"), &found, &error));
    QCOMPARE(error, QStringLiteral("aws CLI timed out"));
    QVERIFY(!found);
    bool downloaded = true;
    error.clear();
    QVERIFY(!downloadIfExists(cache, QStringLiteral("abc.wav"), clip, &downloaded, &error));
    QCOMPARE(error, QStringLiteral("aws CLI timed out"));
    QVERIFY(!downloaded);
    // Far below the tool's own 30 s: the child was ended, not waited for.
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(QDir(cacheDir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestS3Mirror::closesStandardInput() {
    qputenv("FAKE_AWS_MODE", "read-stdin");
    S3Mirror cache(QStringLiteral("media-cache"));
    // Only a safety net: with the input left open the tool would wait for ever.
    cache.setTimeoutMs(20000);
    bool found = false;
    QString error;
    QVERIFY2(exists(cache, QStringLiteral("abc.wav"), &found, &error), qPrintable(error));
    QVERIFY(found);
}

void TestS3Mirror::reportsToolThatCannotStart() {
    QTemporaryDir otherBin;
    const QString aws = otherBin.filePath(QStringLiteral("aws"));
    QVERIFY(writeScript(aws, QStringLiteral("#!/bin/sh\nexit 0\n")));
    qputenv("PATH", otherBin.path().toLocal8Bit());
    const S3Mirror cache(QStringLiteral("media-cache"));
    QCOMPARE(cache.awsExecutable(), aws);
    QVERIFY(QFile::remove(aws));

    QString error;
    bool found = true;
    QVERIFY(!exists(cache, QStringLiteral("k"), &found, &error));
    QCOMPARE(error, QStringLiteral("aws CLI timed out"));
    error.clear();
    QVERIFY(!uploadFile(cache, QStringLiteral("k"), aws, QString(), &error));
    QCOMPARE(error, QStringLiteral("aws CLI timed out"));
}

void TestS3Mirror::refusesWithoutTool() {
    QTemporaryDir emptyBin;
    qputenv("PATH", emptyBin.path().toLocal8Bit());
    const S3Mirror cache(QStringLiteral("s3://media-cache/clips"));
    QVERIFY(cache.isEnabled());
    QVERIFY(cache.awsExecutable().isEmpty());

    const QString expected =
        QStringLiteral("aws CLI not found in PATH; install AWS CLI v2 or unset --s3-bucket");
    QString error;
    QVERIFY(!cache.ensureAvailable(&error));
    QCOMPARE(error, expected);
    error.clear();
    bool flag = true;
    QVERIFY(!exists(cache, QStringLiteral("k"), &flag, &error));
    QCOMPARE(error, expected);
    QVERIFY(!flag);
    error.clear();
    flag = true;
    QVERIFY(
        !downloadIfExists(cache, QStringLiteral("k"), work.filePath("never.wav"), &flag, &error));
    QCOMPARE(error, expected);
    QVERIFY(!flag);
    error.clear();
    QVERIFY(!uploadFile(cache, QStringLiteral("k"), work.filePath("never.wav"), QString(), &error));
    QCOMPARE(error, expected);
    QVERIFY(!cache.ensureAvailable(nullptr));
    QCOMPARE(loggedCount(), 0);
    QVERIFY(!QFile::exists(work.filePath("never.wav")));
}

void TestS3Mirror::asyncDeliversExactlyOnce_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("withTool");
    QTest::addColumn<bool>("ok");

    QTest::newRow("check, found") << "exists"
                                  << "" << true << true;
    QTest::newRow("check, missing") << "exists"
                                    << "not-found" << true << true;
    QTest::newRow("check, failing") << "exists"
                                    << "fail-credentials" << true << false;
    QTest::newRow("check, no tool") << "exists"
                                    << "" << false << false;
    QTest::newRow("download") << "download"
                              << "" << true << true;
    QTest::newRow("download, broken off") << "download"
                                          << "fail-get" << true << false;
    QTest::newRow("download, no tool") << "download"
                                       << "" << false << false;
    QTest::newRow("upload") << "upload"
                            << "" << true << true;
    QTest::newRow("upload, refused") << "upload"
                                     << "fail-put" << true << false;
    QTest::newRow("upload, no tool") << "upload"
                                     << "" << false << false;
    QTest::newRow("raw, silent exit") << "raw"
                                      << "exit-silent" << true << false;
    QTest::newRow("raw, timed out") << "raw"
                                    << "sleep=30" << true << false;
}

void TestS3Mirror::asyncDeliversExactlyOnce() {
    QFETCH(QString, operation);
    QFETCH(QString, mode);
    QFETCH(bool, withTool);
    QFETCH(bool, ok);

    qputenv("FAKE_AWS_MODE", mode.toUtf8());
    QTemporaryDir emptyBin;
    if (!withTool) {
        qputenv("PATH", emptyBin.path().toLocal8Bit());
    }
    S3Mirror cache(QStringLiteral("media-cache"));
    cache.setTimeoutMs(5000);
    QTemporaryDir cacheDir;
    const QString clip = cacheDir.filePath(QStringLiteral("abc.wav"));
    const QString body = work.filePath(QStringLiteral("body.wav"));
    QVERIFY(writeFile(body, patternBytes()));

    QObject context;
    int calls = 0;
    bool reportedOk = !ok;
    if (operation == QLatin1String("exists")) {
        cache.existsAsync(QStringLiteral("abc.wav"), &context, [&](bool r, bool, const QString&) {
            ++calls;
            reportedOk = r;
        });
    } else if (operation == QLatin1String("download")) {
        cache.downloadIfExistsAsync(QStringLiteral("abc.wav"), clip, &context,
                                    [&](bool r, bool, const QString&) {
                                        ++calls;
                                        reportedOk = r;
                                    });
    } else if (operation == QLatin1String("upload")) {
        cache.uploadFileAsync(QStringLiteral("abc.wav"), body, QStringLiteral("audio/wav"),
                              &context, [&](bool r, const QString&) {
                                  ++calls;
                                  reportedOk = r;
                              });
    } else {
        lyrane::runAws(cache.awsExecutable(), {"s3api", "head-object"}, cache.callTimeoutMs(),
                       &context, [&](const S3Mirror::AwsResult& result) {
                           ++calls;
                           reportedOk = result.ok;
                       });
    }
    // Never from inside the call itself, even when nothing had to be started.
    QCOMPARE(calls, 0);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 15000);
    QCOMPARE(reportedOk, ok);
    QTest::qWait(300);
    QCOMPARE(calls, 1);
    // The finished child's process object is released, not left on the context.
    QTRY_COMPARE(context.findChildren<QProcess*>().size(), 0);
}

void TestS3Mirror::asyncDropsCallbackWithContext() {
    qputenv("FAKE_AWS_MODE", "sleep=30");
    const S3Mirror cache(QStringLiteral("media-cache"));
    int calls = 0;
    QElapsedTimer clock;
    clock.start();
    {
        auto context = std::make_unique<QObject>();
        cache.existsAsync(QStringLiteral("abc.wav"), context.get(),
                          [&](bool, bool, const QString&) { ++calls; });
        QTRY_COMPARE(loggedCount(), 1);
        // Ending the context ends the child with it.
    }
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
    QTest::qWait(200);
    QCOMPARE(calls, 0);
}

void TestS3Mirror::roundTripsThroughS3Server() {
    const QString realAws = QStringLiteral("/usr/bin/aws");
    const QString moto = QStandardPaths::findExecutable(QStringLiteral("moto_server"));
    if (!QFileInfo(realAws).isExecutable() || moto.isEmpty()) {
        QSKIP("needs the AWS CLI v2 at /usr/bin/aws and moto_server on PATH");
    }
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    QProcess server;
    const QString serverLog = work.filePath(QStringLiteral("moto.log"));
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.setStandardOutputFile(serverLog);
    server.start(moto, {QStringLiteral("-H"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                        QString::number(port)});
    QVERIFY2(server.waitForStarted(10000), qPrintable(server.errorString()));
    auto stopServer = qScopeGuard([&server] {
        server.terminate();
        if (!server.waitForFinished(5000)) {
            server.kill();
            server.waitForFinished(5000);
        }
    });
    bool listening = false;
    for (int attempt = 0; attempt < 200 && !listening; ++attempt) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        listening = socket.waitForConnected(100);
        if (!listening) {
            QTest::qWait(100);
        }
    }
    QVERIFY2(listening, qPrintable(QStringLiteral("moto_server did not answer within 20 s: ") +
                                   QString::fromUtf8(readFile(serverLog))));

    QTemporaryDir realBin;
    QVERIFY(writeScript(realBin.filePath(QStringLiteral("aws")),
                        QStringLiteral("#!/bin/sh\nexec %1 --endpoint-url http://127.0.0.1:%2 "
                                       "\"$@\"\n")
                            .arg(realAws)
                            .arg(port)));
    qputenv("PATH", realBin.path().toLocal8Bit() + ':' + originalPath);
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", work.path().toLocal8Bit());
    qputenv("AWS_ACCESS_KEY_ID", "testing");
    qputenv("AWS_SECRET_ACCESS_KEY", "testing");
    qputenv("AWS_DEFAULT_REGION", "us-east-1");
    qputenv("AWS_EC2_METADATA_DISABLED", "true");
    qputenv("AWS_PAGER", "");
    auto restoreHome = qScopeGuard([home] { qputenv("HOME", home); });

    S3Mirror cache(QStringLiteral("s3://round-trip/tts/clips"));
    cache.setTimeoutMs(60000);
    QString error;
    QVERIFY2(runAws(cache, {"s3api", "create-bucket", "--bucket", "round-trip"}, nullptr, nullptr,
                    &error),
             qPrintable(error));

    const QString key =
        cache.objectKey(QStringLiteral("0123456789abcdef0123456789abcdef"), QStringLiteral(".wav"));
    bool found = true;
    error = QStringLiteral("stale");
    QVERIFY2(exists(cache, key, &found, &error), qPrintable(error));
    QVERIFY(!found);
    QVERIFY(error.isEmpty());

    const QString body = work.filePath(QStringLiteral("upload.wav"));
    QVERIFY(writeFile(body, patternBytes()));
    QVERIFY2(uploadFile(cache, key, body, QStringLiteral("audio/wav"), &error), qPrintable(error));
    QVERIFY2(exists(cache, key, &found, &error), qPrintable(error));
    QVERIFY(found);

    QByteArray out;
    QByteArray err;
    QVERIFY2(runAws(cache, {"s3api", "head-object", "--bucket", "round-trip", "--key", key}, &out,
                    &err, &error),
             qPrintable(error));
    const QJsonObject head = QJsonDocument::fromJson(out).object();
    QCOMPARE(head.value(QStringLiteral("ContentType")).toString(), QStringLiteral("audio/wav"));
    QCOMPARE(head.value(QStringLiteral("ContentLength")).toInt(), patternBytes().size());

    QTemporaryDir cacheDir;
    const QString clip = cacheDir.filePath(QStringLiteral("0123456789abcdef0123456789abcdef.wav"));
    bool downloaded = false;
    QVERIFY2(downloadIfExists(cache, key, clip, &downloaded, &error), qPrintable(error));
    QVERIFY(downloaded);
    QCOMPARE(readFile(clip), patternBytes());
    QCOMPARE(QDir(cacheDir.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QFileInfo(clip).fileName()});

    const QString missing = cacheDir.filePath(QStringLiteral("missing.wav"));
    QVERIFY2(downloadIfExists(cache, cache.objectKey(QStringLiteral("ffff"), ".wav"), missing,
                              &downloaded, &error),
             qPrintable(error));
    QVERIFY(!downloaded);
    QVERIFY(!QFile::exists(missing));
}

QTEST_GUILESS_MAIN(TestS3Mirror)
#include "test_s3_mirror.moc"
