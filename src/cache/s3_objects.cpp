#include "cache/s3_objects.h"

#include "cache/http_s3_mirror.h"
#include "cache/s3_mirror.h"

#include <QFile>
#include <QObject>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lyrane {

S3Objects::S3Objects(const QString& bucketSetting) {
    QString rest = bucketSetting.trimmed();
    if (rest.startsWith(QLatin1String("s3://"))) {
        rest = rest.mid(5);
    }
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        bucket = rest.left(slash).trimmed();
        prefix = normalizePrefix(rest.mid(slash + 1).trimmed());
    } else {
        bucket = rest;
    }
}

QString S3Objects::objectKey(const QString& key, const QString& extension) const {
    return prefix + key + extension;
}

QString S3Objects::normalizePrefix(const QString& prefix) {
    if (prefix.isEmpty() || prefix.endsWith(QLatin1Char('/'))) {
        return prefix;
    }
    return prefix + QLatin1Char('/');
}

bool S3Objects::moveIntoPlace(QTemporaryFile& partial, const QString& localPath, QString* error) {
    const QString partialPath = partial.fileName();
    partial.close();
    QFile::setPermissions(partialPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                           QFile::ReadOther);
    if (std::rename(QFile::encodeName(partialPath).constData(),
                    QFile::encodeName(localPath).constData()) != 0) {
        *error = QObject::tr("failed to move downloaded file to %1: %2")
                     .arg(localPath, QString::fromLocal8Bit(std::strerror(errno)));
        partial.remove();
        return false;
    }
    partial.setAutoRemove(false);
    return true;
}

std::unique_ptr<S3Objects> makeS3Objects(const QString& bucketSetting,
                                         const S3ClientOptions& options) {
    if (options.kind == S3ClientKind::Http) {
        return std::make_unique<HttpS3Mirror>(bucketSetting, options.addressing);
    }
    return std::make_unique<S3Mirror>(bucketSetting);
}

} // namespace lyrane
