#include "cache/s3_answers.h"

#include <QXmlStreamReader>

namespace lyrane {

S3Error readS3Error(const QByteArray& body) {
    S3Error error;
    QXmlStreamReader xml(body);
    // Only the answer's own fields: <Error><Code/><Message/></Error>.
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("Error")) {
        return error;
    }
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("Code")) {
            error.code = xml.readElementText().trimmed();
        } else if (xml.name() == QLatin1String("Message")) {
            error.message = xml.readElementText().trimmed();
        } else {
            xml.skipCurrentElement();
        }
    }
    return error;
}

namespace {

ListedObject readEntry(QXmlStreamReader& xml) {
    ListedObject object;
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("Key")) {
            object.key = xml.readElementText();
        } else if (xml.name() == QLatin1String("ETag")) {
            object.etag = xml.readElementText().remove(QLatin1Char('"')).toLatin1();
        } else {
            xml.skipCurrentElement();
        }
    }
    return object;
}

} // namespace

ListingPage readListingPage(const QByteArray& body) {
    ListingPage page;
    QXmlStreamReader xml(body);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("ListBucketResult")) {
        return page;
    }
    while (xml.readNextStartElement()) {
        const auto name = xml.name();
        if (name == QLatin1String("Contents")) {
            page.objects.append(readEntry(xml));
        } else if (name == QLatin1String("IsTruncated")) {
            page.truncated = xml.readElementText().trimmed() == QLatin1String("true");
        } else if (name == QLatin1String("NextContinuationToken")) {
            page.nextToken = xml.readElementText();
        } else {
            xml.skipCurrentElement();
        }
    }
    // A page that says more follow must say where they start.
    page.ok = !xml.hasError() && (!page.truncated || !page.nextToken.isEmpty());
    return page;
}

} // namespace lyrane
