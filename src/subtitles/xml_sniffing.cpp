#include "subtitles/xml_sniffing.h"

#include <QFile>
#include <QStringDecoder>

namespace lyrane {

bool looksLikeXml(QStringView content) {
    qsizetype at = 0;
    while (at < content.size() && (content[at].isSpace() || content[at] == QChar(0xFEFF))) {
        ++at;
    }
    const QStringView rest = content.mid(at);
    if (rest.startsWith(QLatin1String("<?xml")) || rest.startsWith(QLatin1String("<!--")) ||
        rest.startsWith(QLatin1String("<!DOCTYPE"))) {
        return true;
    }
    return rest.size() > 1 && rest[0] == QLatin1Char('<') &&
           (rest[1].isLetter() || rest[1] == QLatin1Char('_'));
}

bool fileLooksLikeXml(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    // Enough for white space and a declaration's first characters; a cut character at the
    // end decodes as a replacement and changes nothing before it.
    const QByteArray head = file.read(256);
    const auto encoding = QStringConverter::encodingForData(head);
    QStringDecoder decode(encoding.value_or(QStringConverter::Utf8));
    return looksLikeXml(QString(decode(head)));
}

} // namespace lyrane
