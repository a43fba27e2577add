#pragma once

#include <QString>

namespace lyrane {

// The trimmed UTF-8 text of a file; empty with `error` set when it cannot be read.
QString readUtf8TextFile(const QString& path, QString* error);

} // namespace lyrane
