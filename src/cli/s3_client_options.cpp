#include "cli/s3_client_options.h"

#include <QObject>

namespace lyrane {

std::optional<QString> readS3ClientOptions(const QString& client, bool clientOnCommandLine,
                                           const QString& endpointStyle, S3ClientOptions* options) {
    const QString kind = client.trimmed().toLower();
    if (kind == QLatin1String("aws")) {
        options->kind = S3ClientKind::AwsCli;
    } else if (kind == QLatin1String("http")) {
        options->kind = S3ClientKind::Http;
    } else {
        return QObject::tr("%1 must be aws or http: %2\n")
            .arg(clientOnCommandLine ? QStringLiteral("--s3-client")
                                     : QStringLiteral("LYRANE_S3_CLIENT"),
                 client);
    }
    const QString style = endpointStyle.trimmed().toLower();
    if (style.isEmpty()) {
        options->addressing = S3AddressingStyle::Auto;
    } else if (style == QLatin1String("path")) {
        options->addressing = S3AddressingStyle::Path;
    } else if (style == QLatin1String("virtual")) {
        options->addressing = S3AddressingStyle::Virtual;
    } else {
        return QObject::tr("--s3-endpoint-style must be path or virtual: %1\n").arg(endpointStyle);
    }
    return std::nullopt;
}

} // namespace lyrane
