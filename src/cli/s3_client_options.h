#pragma once

#include "cache/s3_objects.h"

#include <QString>

#include <optional>

namespace lyrane {

// --s3-client (its value, and whether the command line gave it or LYRANE_S3_CLIENT did) and
// --s3-endpoint-style, read into `options`; the one-line refusal when a value is not theirs.
std::optional<QString> readS3ClientOptions(const QString& client, bool clientOnCommandLine,
                                           const QString& endpointStyle, S3ClientOptions* options);

} // namespace lyrane
