#include "cache/s3_addressing.h"

#include <QObject>
#include <QRegularExpression>
#include <QUrl>

namespace lyrane {

namespace {

bool isAddress(const QString& host) {
    static const QRegularExpression ipv4(QStringLiteral("^[0-9]{1,3}(\\.[0-9]{1,3}){3}$"));
    return host.contains(QLatin1Char(':')) || ipv4.match(host).hasMatch();
}

} // namespace

S3Addressing::S3Addressing(const QString& bucket, const QString& region, const QString& endpoint,
                           S3AddressingStyle style)
    : bucket(bucket), signingRegion(region), endpoint(endpoint), style(style) {
    place();
}

void S3Addressing::moveToRegion(const QString& region) {
    signingRegion = region;
    place();
}

void S3Addressing::place() {
    QString scheme = QStringLiteral("https");
    QString host;
    int port = -1;
    base.clear();
    bool namedByAddress = false;
    if (endpoint.isEmpty()) {
        const QString domain = signingRegion.startsWith(QLatin1String("cn-"))
                                   ? QStringLiteral("amazonaws.com.cn")
                                   : QStringLiteral("amazonaws.com");
        host = QStringLiteral("s3.%1.%2").arg(signingRegion, domain);
    } else {
        const QUrl url(endpoint, QUrl::StrictMode);
        scheme = url.scheme().toLower();
        if (!url.isValid() || url.host().isEmpty() ||
            (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
            error = QObject::tr("the S3 endpoint is not an http or https URL: %1").arg(endpoint);
            return;
        }
        host = url.host(QUrl::FullyEncoded).toLower();
        port = url.port();
        base = url.path(QUrl::FullyEncoded).toUtf8();
        while (base.endsWith('/')) {
            base.chop(1);
        }
        namedByAddress = isAddress(host) || host == QLatin1String("localhost");
    }
    const bool https = scheme == QLatin1String("https");
    switch (style) {
    case S3AddressingStyle::Path:
        usePath = true;
        break;
    case S3AddressingStyle::Virtual:
        usePath = false;
        break;
    case S3AddressingStyle::Auto:
        usePath = namedByAddress || !isHostLabel(bucket, https);
        break;
    }
    const QString hostPart =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    origin = (scheme + QStringLiteral("://") + (usePath ? QString() : bucket + QLatin1Char('.')) +
              hostPart + (port >= 0 ? QLatin1Char(':') + QString::number(port) : QString()))
                 .toUtf8();
}

QByteArray S3Addressing::objectUrl(const QString& key) const {
    return bucketUrl(QByteArray()) + percentEncoded(key, true);
}

QByteArray S3Addressing::bucketUrl(const QByteArray& query) const {
    QByteArray url = origin + base + '/';
    if (usePath) {
        url += percentEncoded(bucket, false) + '/';
    }
    if (!query.isEmpty()) {
        url += '?' + query;
    }
    return url;
}

QByteArray S3Addressing::percentEncoded(const QString& text, bool keepSlashes) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray encoded;
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' ||
                                byte == '.' || byte == '~' || (keepSlashes && byte == '/');
        if (unreserved) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0x0f];
        }
    }
    return encoded;
}

bool S3Addressing::isHostLabel(const QString& bucket, bool https) {
    if (bucket.size() < 3 || bucket.size() > 63 || (https && bucket.contains(QLatin1Char('.')))) {
        return false;
    }
    for (const QChar c : bucket) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || c == QLatin1Char('-') ||
              c == QLatin1Char('.'))) {
            return false;
        }
    }
    return bucket.front() != QLatin1Char('-') && bucket.back() != QLatin1Char('-') &&
           !bucket.contains(QLatin1String("..")) && !isAddress(bucket);
}

} // namespace lyrane
