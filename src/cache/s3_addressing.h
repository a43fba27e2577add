#pragma once

#include "cache/s3_objects.h"

#include <QByteArray>
#include <QString>

namespace lyrane {

// Where a bucket's objects are reached over HTTP, and the region requests to it are signed for.
class S3Addressing {
public:
    // `endpoint` is the URL the user configured; empty: AWS's own endpoint for `region`.
    S3Addressing(const QString& bucket, const QString& region, const QString& endpoint,
                 S3AddressingStyle style);

    // False when `endpoint` is not an http or https URL; `error` says so.
    bool isValid() const { return error.isEmpty(); }
    QString problem() const { return error; }

    QByteArray objectUrl(const QString& key) const;
    // The bucket itself, with a query already in canonical order ("a=1&b=2").
    QByteArray bucketUrl(const QByteArray& query) const;
    bool pathStyle() const { return usePath; }
    QString region() const { return signingRegion; }
    // The answer named another region for the bucket: sign for that one from now on.
    void moveToRegion(const QString& region);

    // RFC 3986 percent-encoding of the UTF-8 bytes: only unreserved characters (and '/' when
    // `keepSlashes`) stay as they are, as AWS Signature Version 4 wants it.
    static QByteArray percentEncoded(const QString& text, bool keepSlashes);
    // Whether the name can be the first label of a host name (and, over https, of a
    // certificate's wildcard: no dots).
    static bool isHostLabel(const QString& bucket, bool https);

private:
    void place();

    QString bucket;
    QString signingRegion;
    QString endpoint;
    S3AddressingStyle style;
    QByteArray origin; // scheme://host[:port] with the bucket in the host when not path style
    QByteArray base;   // the endpoint's own path, without a trailing '/'
    bool usePath = true;
    QString error;
};

} // namespace lyrane
