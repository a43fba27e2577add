#pragma once

#include "cache/s3_objects.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace lyrane {

// The code and message of an S3 error answer's body; empty when the body holds none (a HEAD).
struct S3Error {
    QString code;
    QString message;
};
S3Error readS3Error(const QByteArray& body);

// One page of a ListObjectsV2 answer.
struct ListingPage {
    bool ok = false; // the body read as a listing
    QList<ListedObject> objects;
    bool truncated = false;
    QString nextToken;
};
ListingPage readListingPage(const QByteArray& body);

} // namespace lyrane
