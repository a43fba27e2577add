#include "serve/request_guard.h"

#include <QHttpServerRequest>
#include <QRandomGenerator>
#include <QUrlQuery>

#include <array>

namespace lyrane {

namespace {

// Compares in a time that does not depend on where the texts differ.
bool sameSecret(const QByteArray& given, const QByteArray& secret) {
    if (given.size() != secret.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (qsizetype i = 0; i < secret.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
    }
    return difference == 0;
}

QByteArray queryToken(const QHttpServerRequest& request) {
    return QUrlQuery(request.url())
        .queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded)
        .toLatin1();
}

} // namespace

RequestGuard::RequestGuard(quint16 port, QByteArray token)
    : host("127.0.0.1:" + QByteArray::number(port)), origin("http://" + host),
      cookieName("lyrane-" + QByteArray::number(port)), token(std::move(token)) {}

QByteArray RequestGuard::newToken() {
    std::array<quint32, 4> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    QByteArray bytes(reinterpret_cast<const char*>(words.data()), sizeof words);
    return bytes.toHex();
}

QByteArray RequestGuard::header(const QHttpServerRequest& request, const QByteArray& name) {
    QByteArray value;
    int found = 0;
    for (const auto& [key, given] : request.headers()) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            value = given.trimmed();
            ++found;
        }
    }
    return found == 1 ? value : QByteArray();
}

bool RequestGuard::cookieHolds(const QHttpServerRequest& request) const {
    for (const QByteArray& pair : header(request, "Cookie").split(';')) {
        const qsizetype equals = pair.indexOf('=');
        if (equals > 0 && pair.left(equals).trimmed() == cookieName &&
            sameSecret(pair.mid(equals + 1).trimmed(), token)) {
            return true;
        }
    }
    return false;
}

bool RequestGuard::tokenInAddress(const QHttpServerRequest& request) const {
    return sameSecret(queryToken(request), token);
}

bool RequestGuard::allows(const QHttpServerRequest& request) const {
    if (header(request, "Host") != host) {
        return false;
    }
    if (!tokenInAddress(request) && !cookieHolds(request)) {
        return false;
    }
    // A browser names the page that sends a POST; another site's page cannot pass for ours.
    return request.method() != QHttpServerRequest::Method::Post ||
           header(request, "Origin") == origin;
}

QByteArray RequestGuard::cookie() const {
    return cookieName + '=' + token + "; Path=/; HttpOnly; SameSite=Strict";
}

QString RequestGuard::address() const {
    return QStringLiteral("http://%1/?token=%2")
        .arg(QString::fromLatin1(host), QString::fromLatin1(token));
}

} // namespace lyrane
