// lyrane-speechd: a local stand-in for the cloud text-to-speech service, speaking with
// espeak-ng, for offline drafts, demos, tests and benchmarks.

#include "speech_engine.h"
#include "speech_server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <optional>

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

struct ServiceOptions {
    QHostAddress host;
    quint16 port = 0;
    lyrane::SpeechServerSettings server;
};

void printError(const QString& message) {
    QTextStream(stderr) << message << '\n';
}

std::optional<int> parseCount(const QCommandLineParser& parser, const QString& name, int max) {
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < 0 || value > max) {
        printError(QObject::tr("Invalid value for --%1: %2").arg(name, parser.value(name)));
        return std::nullopt;
    }
    return value;
}

std::optional<ServiceOptions> parseOptions(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QObject::tr("Answers text-to-speech requests locally with espeak-ng."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption host(QStringLiteral("host"),
                                  QObject::tr("Address to listen on (default 127.0.0.1)."),
                                  QObject::tr("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QObject::tr("Port to listen on; 0 picks a free one (default)."),
                                  QObject::tr("port"), QStringLiteral("0"));
    const QCommandLineOption apiKey(QStringLiteral("api-key"),
                                    QObject::tr("Require this key in the xi-api-key header."),
                                    QObject::tr("key"));
    const QCommandLineOption latency(QStringLiteral("latency"),
                                     QObject::tr("Delay every answer by this many milliseconds."),
                                     QObject::tr("ms"), QStringLiteral("0"));
    const QCommandLineOption maxConcurrent(
        QStringLiteral("max-concurrent"),
        QObject::tr("Answer 429 to requests beyond this many in flight, whatever the plan; "
                    "0 means the plan's limit (none without --plan)."),
        QObject::tr("n"), QStringLiteral("0"));
    const QCommandLineOption plan(
        QStringLiteral("plan"),
        QObject::tr("Play an account on this plan (free, starter, creator, pro or scale): its "
                    "output formats and requests in flight. Default: no restrictions."),
        QObject::tr("plan"));
    const QCommandLineOption busyEvery(
        QStringLiteral("busy-every"),
        QObject::tr("Answer every Nth accepted request with 429 system_busy; 0 means never."),
        QObject::tr("n"), QStringLiteral("0"));
    const QCommandLineOption credits(
        QStringLiteral("credits"),
        QObject::tr("The account's credits, spent by each answer; 401 quota_exceeded when they "
                    "do not cover a request. Default: practically unlimited."),
        QObject::tr("n"));
    const QCommandLineOption strictVoices(
        QStringLiteral("strict-voices"),
        QObject::tr("Answer 400 voice_not_found for voices not in GET /v1/voices, instead of "
                    "speaking them with a voice derived from the identifier."));
    const QCommandLineOption noSubscription(
        QStringLiteral("no-subscription"),
        QObject::tr("Answer 401 to GET /v1/user/subscription, as for a key without the "
                    "permission to read it."));
    const QCommandLineOption dictionary(
        QStringLiteral("dictionary"),
        QObject::tr("A pronunciation dictionary (PLS) requests may name; listed with its id."),
        QObject::tr("file"));
    parser.addOptions({host, port, apiKey, latency, maxConcurrent, plan, busyEvery, credits,
                       strictVoices, noSubscription, dictionary});
    parser.process(app); // exits on --help, --version and unknown options
    if (!parser.positionalArguments().isEmpty()) {
        printError(
            QObject::tr("Unexpected argument: %1").arg(parser.positionalArguments().first()));
        return std::nullopt;
    }

    ServiceOptions options;
    const QString hostName = parser.value(host);
    if (hostName == QLatin1String("localhost"))
        options.host = QHostAddress(QHostAddress::LocalHost);
    else if (!options.host.setAddress(hostName)) {
        printError(QObject::tr("Invalid value for --host: %1").arg(hostName));
        return std::nullopt;
    }
    const std::optional<int> portValue = parseCount(parser, QStringLiteral("port"), 65535);
    const std::optional<int> latencyValue = parseCount(parser, QStringLiteral("latency"), 3600000);
    const std::optional<int> maxValue =
        parseCount(parser, QStringLiteral("max-concurrent"), 100000);
    const std::optional<int> busyValue =
        parseCount(parser, QStringLiteral("busy-every"), 1000000000);
    if (!portValue || !latencyValue || !maxValue || !busyValue)
        return std::nullopt;
    if (parser.isSet(plan)) {
        const std::optional<lyrane::speechd::Plan> planValue =
            lyrane::speechd::planFromName(parser.value(plan));
        if (!planValue) {
            printError(QObject::tr("Invalid value for --plan: %1").arg(parser.value(plan)));
            return std::nullopt;
        }
        options.server.plan = *planValue;
    }
    if (parser.isSet(credits)) {
        bool ok = false;
        const qint64 value = parser.value(credits).toLongLong(&ok);
        if (!ok || value < 0) {
            printError(QObject::tr("Invalid value for --credits: %1").arg(parser.value(credits)));
            return std::nullopt;
        }
        options.server.credits = value;
    }
    options.server.busyEvery = *busyValue;
    options.server.strictVoices = parser.isSet(strictVoices);
    options.server.subscriptionReadable = !parser.isSet(noSubscription);
    options.port = static_cast<quint16>(*portValue);
    options.server.latencyMs = *latencyValue;
    options.server.maxConcurrent = *maxValue;
    options.server.apiKey = parser.value(apiKey);
    for (const QString& path : parser.values(dictionary)) {
        QString error;
        std::optional<lyrane::speechd::LoadedDictionary> loaded =
            lyrane::speechd::loadDictionary(path, &error);
        if (!loaded) {
            printError(error.trimmed());
            return std::nullopt;
        }
        options.server.dictionaries.append(std::move(*loaded));
    }
    return options;
}

QString baseUrl(const QHostAddress& host, quint16 port) {
    const QString address = host.protocol() == QAbstractSocket::IPv6Protocol
                                ? QLatin1Char('[') + host.toString() + QLatin1Char(']')
                                : host.toString();
    return QStringLiteral("http://%1:%2").arg(address).arg(port);
}

} // namespace

int main(int argc, char* argv[]) {
    // SIGINT and SIGTERM are taken from a signalfd, so they must stay blocked in every thread:
    // block them before any thread exists; threads and the engine's helper inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lyrane-speechd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LYRANE_VERSION));

    const std::optional<ServiceOptions> options = parseOptions(app);
    if (!options)
        return 1;

    // Started first, while the process is still single-threaded (it forks).
    lyrane::SpeechEngine engine;
    QString error;
    if (!engine.start(&error)) {
        printError(QObject::tr("Failed to start the speech engine: %1").arg(error));
        return 1;
    }

    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        printError(QObject::tr("Failed to watch for stop signals"));
        return 1;
    }
    QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [signalFd] {
        signalfd_siginfo info;
        while (read(signalFd, &info, sizeof info) == sizeof info) {
        }
        QCoreApplication::quit();
    });

    lyrane::SpeechServer server(engine, options->server);
    const std::optional<quint16> port = server.listen(options->host, options->port, &error);
    if (!port) {
        printError(QObject::tr("Failed to start the service: %1").arg(error));
        close(signalFd);
        return 1;
    }
    // Scripts read this first line to find the service.
    std::fprintf(stdout, "%s\n", qPrintable(baseUrl(options->host, *port)));
    std::fflush(stdout);

    const int status = app.exec();
    close(signalFd);
    return status;
}
