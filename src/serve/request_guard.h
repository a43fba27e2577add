#pragma once

#include <QByteArray>
#include <QString>

class QHttpServerRequest;

namespace lyrane {

// What every request to a page served live must show before its path is looked at: that it was
// sent to the address served (no other host name, against DNS rebinding), the session's token
// (in the address, then in the cookie the page sets), and for an action a same-origin Origin.
class RequestGuard {
public:
    RequestGuard(quint16 port, QByteArray token);

    // A new session's token: 128 bits from the system's cryptographic source, in hex.
    static QByteArray newToken();

    bool allows(const QHttpServerRequest& request) const;
    // The token came in the address: the answer sets the cookie, so the page's own requests
    // carry it.
    bool tokenInAddress(const QHttpServerRequest& request) const;
    // The Set-Cookie value that carries the token; named for the port, so that two sessions
    // never overwrite each other's.
    QByteArray cookie() const;
    // What the user opens: http://127.0.0.1:PORT/?token=...
    QString address() const;
    // The value of the request's header `name` (in any case); empty when it has none, or more
    // than one.
    static QByteArray header(const QHttpServerRequest& request, const QByteArray& name);

private:
    bool cookieHolds(const QHttpServerRequest& request) const;

    QByteArray host;   // 127.0.0.1:PORT
    QByteArray origin; // http://127.0.0.1:PORT
    QByteArray cookieName;
    QByteArray token;
};

} // namespace lyrane
