#include "cli/text_file.h"

#include <QFile>
#include <QObject>

namespace lyrane {

QString readUtf8TextFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (error) {
            *error = QObject::tr("failed to read text file %1: %2").arg(path, file.errorString());
        }
        return {};
    }
    return QString::fromUtf8(file.readAll()).trimmed();
}

} // namespace lyrane
