#include "cache/curl_transfers.h"

#include "cache/aws_runner.h"

#include <QDeadlineTimer>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <curl/curl.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace lyrane {

namespace {

void initialiseCurl() {
    // Before the first handle, from the one thread that uses curl.
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Q_UNUSED(initialised);
}

// One request's easy handle, with what it sends and what came back.
struct Exchange {
    explicit Exchange(HttpRequest sent) : request(std::move(sent)) {}
    ~Exchange() {
        if (easy) {
            curl_easy_cleanup(easy);
        }
        curl_slist_free_all(headerList);
    }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    bool setUp();
    void finish(CURLcode code);

    HttpRequest request;
    HttpAnswer answer;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorText[CURL_ERROR_SIZE] = {};
    QString sinkError;
    curl_off_t moved = 0;
    std::function<void()> onMoved; // bytes went one way or the other
};

size_t takeBody(char* data, size_t size, size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const size_t length = size * count;
    HttpAnswer& answer = exchange->answer;
    if (answer.status >= 200 && answer.status < 300 && exchange->request.sink) {
        QIODevice& sink = *exchange->request.sink;
        if (sink.write(data, qint64(length)) != qint64(length)) {
            exchange->sinkError = sink.errorString();
            return 0;
        }
        return length;
    }
    if (answer.body.size() + qint64(length) > exchange->request.keepBytes) {
        answer.overLimit = true;
        return 0;
    }
    answer.body.append(data, qsizetype(length));
    return length;
}

size_t takeHeader(char* data, size_t size, size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const size_t length = size * count;
    const QByteArray line = QByteArray(data, qsizetype(length)).trimmed();
    HttpAnswer& answer = exchange->answer;
    if (line.startsWith("HTTP/")) {
        // A new answer (after "100 Continue", say): its own status and headers.
        const QList<QByteArray> parts = line.split(' ');
        answer.status = parts.size() > 1 ? parts[1].toLong() : 0;
        answer.headers.clear();
        return length;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon > 0) {
        answer.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    return length;
}

size_t giveBody(char* buffer, size_t size, size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    if (!exchange->request.body) {
        return 0;
    }
    const qint64 read = exchange->request.body->read(buffer, qint64(size * count));
    return read < 0 ? CURL_READFUNC_ABORT : size_t(read);
}

int rewindBody(void* user, curl_off_t offset, int origin) {
    auto* exchange = static_cast<Exchange*>(user);
    if (origin != SEEK_SET || !exchange->request.body ||
        !exchange->request.body->seek(qint64(offset))) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    return CURL_SEEKFUNC_OK;
}

int noteProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* exchange = static_cast<Exchange*>(user);
    if (downloaded + uploaded != exchange->moved) {
        exchange->moved = downloaded + uploaded;
        if (exchange->onMoved) {
            exchange->onMoved();
        }
    }
    return 0;
}

template <typename T> void set(CURL* easy, CURLoption option, T value) {
    curl_easy_setopt(easy, option, value);
}

bool Exchange::setUp() {
    initialiseCurl();
    easy = curl_easy_init();
    if (!easy) {
        answer.error = QObject::tr("could not start an HTTP request");
        return false;
    }
    set(easy, CURLOPT_URL, request.url.constData());
    // Keys are names, not paths: "a/../b" and "a//b" reach the bucket as they are.
    set(easy, CURLOPT_PATH_AS_IS, 1L);
    set(easy, CURLOPT_NOSIGNAL, 1L);
    set(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    set(easy, CURLOPT_USERAGENT, "lyrane");
    set(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    set(easy, CURLOPT_ERRORBUFFER, errorText);
    set(easy, CURLOPT_PRIVATE, static_cast<void*>(this));
    set(easy, CURLOPT_WRITEFUNCTION, takeBody);
    set(easy, CURLOPT_WRITEDATA, static_cast<void*>(this));
    set(easy, CURLOPT_HEADERFUNCTION, takeHeader);
    set(easy, CURLOPT_HEADERDATA, static_cast<void*>(this));
    set(easy, CURLOPT_XFERINFOFUNCTION, noteProgress);
    set(easy, CURLOPT_XFERINFODATA, static_cast<void*>(this));
    set(easy, CURLOPT_NOPROGRESS, 0L);
    if (request.method == "HEAD") {
        set(easy, CURLOPT_NOBODY, 1L);
    } else if (request.method == "PUT") {
        set(easy, CURLOPT_UPLOAD, 1L);
        set(easy, CURLOPT_READFUNCTION, giveBody);
        set(easy, CURLOPT_READDATA, static_cast<void*>(this));
        set(easy, CURLOPT_SEEKFUNCTION, rewindBody);
        set(easy, CURLOPT_SEEKDATA, static_cast<void*>(this));
        set(easy, CURLOPT_INFILESIZE_LARGE,
            curl_off_t(request.body ? request.body->size() - request.body->pos() : 0));
        // Small bodies: waiting for "100 Continue" would only add a round trip. (Taking the
        // header away with "Expect:" would still sign it.)
        set(easy, CURLOPT_EXPECT_100_TIMEOUT_MS, 1L);
    } else if (request.method != "GET") {
        set(easy, CURLOPT_CUSTOMREQUEST, request.method.constData());
    }
    for (const QByteArray& header : std::as_const(request.headers)) {
        headerList = curl_slist_append(headerList, header.constData());
    }
    set(easy, CURLOPT_HTTPHEADER, headerList);
    if (!request.awsSigV4.isEmpty()) {
        set(easy, CURLOPT_AWS_SIGV4, request.awsSigV4.constData());
        set(easy, CURLOPT_USERNAME, request.accessKeyId.constData());
        set(easy, CURLOPT_PASSWORD, request.secretAccessKey.constData());
    }
    return true;
}

void Exchange::finish(CURLcode code) {
    if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && answer.overLimit)) {
        answer.answered = answer.status > 0;
        if (answer.answered) {
            return;
        }
    }
    if (!sinkError.isEmpty()) {
        answer.error = sinkError;
    } else if (errorText[0] != '\0') {
        answer.error = QString::fromUtf8(errorText);
    } else {
        answer.error = QString::fromUtf8(curl_easy_strerror(code));
    }
    answer.answered = false;
}

// The readiness of one socket curl watches.
class SocketWatch : public QObject {
public:
    SocketWatch(curl_socket_t socket, CurlTransfers::Engine* engine);
    void watch(bool forReading, bool forWriting) {
        reading.setEnabled(forReading);
        writing.setEnabled(forWriting);
    }

private:
    QSocketNotifier reading;
    QSocketNotifier writing;
};

} // namespace

// The multi handle, its sockets and timer on the event loop, and the exchanges in flight.
class CurlTransfers::Engine : public QObject {
public:
    class Transfer;

    Engine();
    ~Engine() override;

    void start(Transfer* transfer);
    void detach(Transfer* transfer);
    void act(curl_socket_t socket, int events);

    CURLM* multi = nullptr;
    QTimer timer;
    QSet<Transfer*> live;

private:
    void collect();
};

// One exchange in flight, owned by the caller's context so that ending it ends the exchange.
class CurlTransfers::Engine::Transfer : public QObject {
public:
    Transfer(HttpRequest request, QObject* context, std::function<void(const HttpAnswer&)> done)
        : QObject(context), exchange(std::move(request)), context(context),
          hadContext(context != nullptr), done(std::move(done)) {}
    ~Transfer() override {
        if (engine) {
            engine->detach(this);
        }
    }

    void complete() {
        if (engine) {
            engine->detach(this);
        }
        idle.stop();
        if (done && (!hadContext || context)) {
            postToEventLoop(context.data(),
                            [done = std::move(done), answer = exchange.answer] { done(answer); });
        }
        done = nullptr;
        deleteLater();
    }

    Exchange exchange;
    QPointer<Engine> engine;
    QPointer<QObject> context;
    bool hadContext = false;
    std::function<void(const HttpAnswer&)> done;
    QTimer idle;
};

namespace {

SocketWatch::SocketWatch(curl_socket_t socket, CurlTransfers::Engine* engine)
    : QObject(engine), reading(qintptr(socket), QSocketNotifier::Read, this),
      writing(qintptr(socket), QSocketNotifier::Write, this) {
    QObject::connect(&reading, &QSocketNotifier::activated, this,
                     [engine, socket] { engine->act(socket, CURL_CSELECT_IN); });
    QObject::connect(&writing, &QSocketNotifier::activated, this,
                     [engine, socket] { engine->act(socket, CURL_CSELECT_OUT); });
}

int watchSocket(CURL*, curl_socket_t socket, int what, void* user, void* socketData) {
    auto* engine = static_cast<CurlTransfers::Engine*>(user);
    auto* watch = static_cast<SocketWatch*>(socketData);
    if (what == CURL_POLL_REMOVE) {
        if (watch) {
            watch->watch(false, false);
            watch->deleteLater();
            curl_multi_assign(engine->multi, socket, nullptr);
        }
        return 0;
    }
    if (!watch) {
        watch = new SocketWatch(socket, engine);
        curl_multi_assign(engine->multi, socket, watch);
    }
    watch->watch((what & CURL_POLL_IN) != 0, (what & CURL_POLL_OUT) != 0);
    return 0;
}

int setTimer(CURLM*, long timeoutMs, void* user) {
    auto* engine = static_cast<CurlTransfers::Engine*>(user);
    // Never act from inside curl: the timer calls back from the event loop.
    if (timeoutMs < 0) {
        engine->timer.stop();
    } else {
        engine->timer.start(int(std::min(timeoutMs, 24L * 3600 * 1000)));
    }
    return 0;
}

} // namespace

CurlTransfers::Engine::Engine() {
    initialiseCurl();
    multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, watchSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, static_cast<void*>(this));
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, setTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, static_cast<void*>(this));
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 32L);
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

CurlTransfers::Engine::~Engine() {
    // What is still in flight ends without a word: its callbacks may point into the owner.
    for (Transfer* transfer : QSet<Transfer*>(live)) {
        transfer->done = nullptr;
        transfer->idle.stop();
        detach(transfer);
    }
    // Closing the kept connections must not call back into a half-destroyed engine.
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, nullptr);
    curl_multi_cleanup(multi);
}

void CurlTransfers::Engine::start(Transfer* transfer) {
    if (!transfer->exchange.setUp()) {
        transfer->complete();
        return;
    }
    transfer->engine = this;
    live.insert(transfer);
    curl_multi_add_handle(multi, transfer->exchange.easy);
}

void CurlTransfers::Engine::detach(Transfer* transfer) {
    if (live.remove(transfer)) {
        curl_multi_remove_handle(multi, transfer->exchange.easy);
    }
    transfer->engine = nullptr;
}

void CurlTransfers::Engine::act(curl_socket_t socket, int events) {
    int running = 0;
    curl_multi_socket_action(multi, socket, events, &running);
    collect();
}

void CurlTransfers::Engine::collect() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        const CURLcode code = message->data.result;
        void* data = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &data);
        for (Transfer* transfer : std::as_const(live)) {
            if (&transfer->exchange == data) {
                transfer->exchange.finish(code);
                transfer->complete();
                break;
            }
        }
    }
}

CurlTransfers::CurlTransfers() : engine(std::make_unique<Engine>()) {}

CurlTransfers::~CurlTransfers() = default;

void CurlTransfers::send(HttpRequest request, int idleMs, QObject* context,
                         std::function<void(const HttpAnswer&)> done) {
    // Without a context of its own the exchange lives as long as the engine.
    auto* transfer =
        new Engine::Transfer(std::move(request), context ? context : engine.get(), std::move(done));
    if (idleMs > 0) {
        transfer->idle.setSingleShot(true);
        transfer->idle.setInterval(idleMs);
        QObject::connect(&transfer->idle, &QTimer::timeout, transfer, [transfer] {
            transfer->exchange.answer.timedOut = true;
            transfer->exchange.answer.error = QObject::tr("timed out");
            transfer->complete();
        });
        transfer->exchange.onMoved = [transfer] {
            transfer->idle.start();
        };
        transfer->idle.start();
    }
    engine->start(transfer);
}

QList<HttpAnswer> CurlTransfers::sendNow(const QList<HttpRequest>& requests, int waitMs) {
    initialiseCurl();
    CURLM* multi = curl_multi_init();
    std::vector<std::unique_ptr<Exchange>> exchanges;
    std::vector<char> added;
    for (const HttpRequest& request : requests) {
        exchanges.push_back(std::make_unique<Exchange>(request));
        const bool ready = exchanges.back()->setUp() &&
                           curl_multi_add_handle(multi, exchanges.back()->easy) == CURLM_OK;
        added.push_back(ready ? 1 : 0);
    }
    std::vector<char> finished(exchanges.size(), 0);
    const QDeadlineTimer deadline(waitMs);
    int running = 1;
    while (running > 0) {
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            for (size_t i = 0; i < exchanges.size(); ++i) {
                if (message->msg == CURLMSG_DONE && exchanges[i]->easy == message->easy_handle) {
                    exchanges[i]->finish(message->data.result);
                    finished[i] = 1;
                }
            }
        }
        if (running == 0 || deadline.hasExpired()) {
            break;
        }
        curl_multi_poll(multi, nullptr, 0,
                        int(std::clamp<qint64>(deadline.remainingTime(), 0, 200)), nullptr);
    }
    QList<HttpAnswer> answers;
    for (size_t i = 0; i < exchanges.size(); ++i) {
        if (added[i]) {
            curl_multi_remove_handle(multi, exchanges[i]->easy);
        }
        if (added[i] && !finished[i]) {
            exchanges[i]->answer.answered = false;
            exchanges[i]->answer.timedOut = true;
            exchanges[i]->answer.error = QObject::tr("timed out");
        }
        answers.append(exchanges[i]->answer);
    }
    curl_multi_cleanup(multi);
    return answers;
}

} // namespace lyrane
