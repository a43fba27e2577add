#include "subtitles/ttml_metadata.h"

namespace lyrane {

namespace {

const QLatin1String audioNamespace("http://www.w3.org/ns/ttml#audio");
const QLatin1String stylingNamespace("http://www.w3.org/ns/ttml#styling");
const QLatin1String metadataNamespace("http://www.w3.org/ns/ttml#metadata");

} // namespace

QString readAgentName(QXmlStreamReader& xml) {
    QString alias;
    QString full;
    QString other;
    while (xml.readNextStartElement()) {
        if (xml.namespaceUri() == metadataNamespace && xml.name() == QLatin1String("name")) {
            const QString type = xml.attributes().value(QLatin1String("type")).toString();
            const QString name = xml.readElementText(QXmlStreamReader::SkipChildElements);
            QString& slot = type == QLatin1String("alias")  ? alias
                            : type == QLatin1String("full") ? full
                                                            : other;
            if (slot.isEmpty()) {
                slot = name.simplified();
            }
        } else {
            xml.skipCurrentElement();
        }
    }
    return !alias.isEmpty() ? alias : !full.isEmpty() ? full : other;
}

QString speechRateAttribute(const QXmlStreamAttributes& attributes) {
    for (const QXmlStreamAttribute& attribute : attributes) {
        const QStringView name = attribute.name();
        const QStringView value = attribute.value();
        const bool speech =
            (attribute.namespaceUri() == audioNamespace &&
             ((name == QLatin1String("speak") &&
               (value == QLatin1String("fast") || value == QLatin1String("slow"))) ||
              name == QLatin1String("rate") || name == QLatin1String("pitch"))) ||
            (attribute.namespaceUri() == stylingNamespace &&
             name.contains(QLatin1String("rate"), Qt::CaseInsensitive));
        if (speech) {
            return QStringLiteral("%1=\"%2\"").arg(attribute.qualifiedName(), value);
        }
    }
    return QString();
}

} // namespace lyrane
