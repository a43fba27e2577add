#include "subtitles/dapt_writer.h"

#include "subtitles/ttml_time.h"

#include <QBuffer>
#include <QObject>
#include <QSaveFile>
#include <QXmlStreamWriter>

#include <cmath>

namespace lyrane {

namespace {

const QString ttNamespace = QStringLiteral("http://www.w3.org/ns/ttml");
const QString parameterNamespace = QStringLiteral("http://www.w3.org/ns/ttml#parameter");
const QString audioNamespace = QStringLiteral("http://www.w3.org/ns/ttml#audio");
const QString metadataNamespace = QStringLiteral("http://www.w3.org/ns/ttml#metadata");
const QString daptNamespace = QStringLiteral("http://www.w3.org/ns/ttml/profile/dapt#metadata");
const QString xmlNamespace = QStringLiteral("http://www.w3.org/XML/1998/namespace");
const QString contentProfile = QStringLiteral("http://www.w3.org/ns/ttml/profile/dapt1.0/content");
const QString describesPictures = QStringLiteral("visual.nonText");
// Bytes of a clip encoded at once: a multiple of 3, so the pieces join into one base64 text.
constexpr qsizetype kBase64Piece = 3 * 16384;

QString clock(qint64 ms) {
    return ttmlClockTime(ms * 1000);
}

QString gainText(double gain) {
    return QString::number(gain, 'g', 3);
}

// What XML 1.0 cannot carry (control characters, unpaired surrogates) is left out.
QString xmlText(const QString& text) {
    QString clean;
    clean.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            clean += c;
            clean += text[++i];
        } else if (!c.isSurrogate() && c.unicode() != 0xFFFE && c.unicode() != 0xFFFF &&
                   (c.unicode() >= 0x20 || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
                    c == QLatin1Char('\r'))) {
            clean += c;
        }
    }
    return clean;
}

// Where an event's div begins and ends: around its clip, and around the ducking it starts or
// ends; one that leaves the programme down holds until the next event takes over.
struct EventSpan {
    qint64 beginMs = 0;
    qint64 endMs = 0;
};

EventSpan spanOf(const DaptScript& script, qsizetype index) {
    const DaptEvent& event = script.events[index];
    EventSpan span{event.beginMs, event.endMs};
    if (!event.ducking || event.ducking->depthDb <= 0) {
        return span;
    }
    const DaptDucking& ducking = *event.ducking;
    if (ducking.lowers) {
        span.beginMs = qMax<qint64>(0, event.beginMs - qMax<qint64>(0, ducking.attackMs));
    }
    if (ducking.restores) {
        span.endMs = event.endMs + qMax<qint64>(0, ducking.releaseMs);
    } else if (index + 1 < script.events.size()) {
        span.endMs = qMax(event.endMs, script.events[index + 1].beginMs);
    }
    return span;
}

// The p's tta:gain animations, its times relative to the div's begin.
void writeDucking(QXmlStreamWriter& xml, const DaptEvent& event, const EventSpan& span) {
    const DaptDucking& ducking = *event.ducking;
    const double gain = std::pow(10.0, -ducking.depthDb / 20.0);
    const qint64 lowering = event.beginMs - span.beginMs;
    if (!ducking.lowers || lowering <= 0) {
        // Already down, or stepping down as the clip begins.
        xml.writeAttribute(audioNamespace, QStringLiteral("gain"), gainText(gain));
    }
    if (ducking.lowers && lowering > 0) {
        // An attack cut short by the start of the programme begins part of the way down.
        const qint64 attack = qMax<qint64>(lowering, ducking.attackMs);
        const double from = 1.0 + (gain - 1.0) * double(attack - lowering) / double(attack);
        xml.writeEmptyElement(ttNamespace, QStringLiteral("animate"));
        xml.writeAttribute(QStringLiteral("begin"), clock(0));
        xml.writeAttribute(QStringLiteral("end"), clock(lowering));
        xml.writeAttribute(audioNamespace, QStringLiteral("gain"),
                           gainText(from) + QLatin1Char(';') + gainText(gain));
        xml.writeAttribute(QStringLiteral("fill"), QStringLiteral("freeze"));
    }
    if (ducking.restores && span.endMs > event.endMs) {
        xml.writeEmptyElement(ttNamespace, QStringLiteral("animate"));
        xml.writeAttribute(QStringLiteral("begin"), clock(event.endMs - span.beginMs));
        xml.writeAttribute(QStringLiteral("end"), clock(span.endMs - span.beginMs));
        xml.writeAttribute(audioNamespace, QStringLiteral("gain"),
                           gainText(gain) + QStringLiteral(";1"));
    }
}

bool writeEvent(QXmlStreamWriter& xml, const DaptScript& script, qsizetype index,
                const DaptClipBytes& clip, QString* error) {
    const DaptEvent& event = script.events[index];
    const EventSpan span = spanOf(script, index);
    xml.writeStartElement(ttNamespace, QStringLiteral("div"));
    xml.writeAttribute(xmlNamespace, QStringLiteral("id"), event.id);
    xml.writeAttribute(QStringLiteral("begin"), clock(span.beginMs));
    xml.writeAttribute(QStringLiteral("end"), clock(span.endMs));
    xml.writeAttribute(daptNamespace, QStringLiteral("represents"), describesPictures);
    if (!event.agentId.isEmpty()) {
        xml.writeAttribute(metadataNamespace, QStringLiteral("agent"), event.agentId);
    }
    xml.writeStartElement(ttNamespace, QStringLiteral("p"));
    if (event.ducking && event.ducking->depthDb > 0) {
        writeDucking(xml, event, span);
    }
    xml.writeStartElement(ttNamespace, QStringLiteral("span"));
    xml.writeAttribute(QStringLiteral("begin"), clock(event.beginMs - span.beginMs));
    xml.writeAttribute(QStringLiteral("end"), clock(event.endMs - span.beginMs));
    const QString text = xmlText(event.text);
    // Runs of spaces and tabs are kept as spoken; TTML would collapse them.
    if (text.contains(QLatin1String("  ")) || text.contains(QLatin1Char('\t'))) {
        xml.writeAttribute(xmlNamespace, QStringLiteral("space"), QStringLiteral("preserve"));
    }
    // Nothing but the clip and the text inside the span: indentation would be text there.
    xml.setAutoFormatting(false);
    if (event.embedClip) {
        if (!clip) {
            if (error) {
                *error = QObject::tr("no bytes given for the clip of %1").arg(event.id);
            }
            return false;
        }
        const std::optional<QByteArray> bytes = clip(index, error);
        if (!bytes) {
            return false;
        }
        xml.writeStartElement(ttNamespace, QStringLiteral("audio"));
        xml.writeStartElement(ttNamespace, QStringLiteral("source"));
        xml.writeStartElement(ttNamespace, QStringLiteral("data"));
        xml.writeAttribute(QStringLiteral("type"), event.clipType);
        // Base64 needs no escaping: after the start tag is closed it goes to the device as it
        // is, a piece at a time, instead of through the writer's escaping character by character.
        xml.writeCharacters(QString());
        for (qsizetype at = 0; at < bytes->size() && !xml.hasError(); at += kBase64Piece) {
            const QByteArray piece = bytes->mid(at, kBase64Piece).toBase64();
            if (xml.device()->write(piece) != piece.size()) {
                if (error) {
                    *error = xml.device()->errorString();
                }
                return false;
            }
        }
        xml.writeEndElement();
        xml.writeEndElement();
        xml.writeEndElement();
    } else if (!event.clipLink.isEmpty()) {
        xml.writeEmptyElement(ttNamespace, QStringLiteral("audio"));
        xml.writeAttribute(QStringLiteral("src"), event.clipLink);
        xml.writeAttribute(QStringLiteral("type"), event.clipType);
    }
    xml.writeCharacters(text);
    xml.writeEndElement(); // span
    xml.setAutoFormatting(true);
    xml.writeEndElement(); // p
    xml.writeEndElement(); // div
    return true;
}

} // namespace

bool writeDaptDocument(const DaptScript& script, QIODevice* device, const DaptClipBytes& clip,
                       QString* error) {
    QXmlStreamWriter xml(device);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeNamespace(parameterNamespace, QStringLiteral("ttp"));
    xml.writeNamespace(audioNamespace, QStringLiteral("tta"));
    xml.writeNamespace(metadataNamespace, QStringLiteral("ttm"));
    xml.writeNamespace(daptNamespace, QStringLiteral("daptm"));
    xml.writeDefaultNamespace(ttNamespace);
    xml.writeStartElement(ttNamespace, QStringLiteral("tt"));
    xml.writeAttribute(parameterNamespace, QStringLiteral("contentProfiles"), contentProfile);
    xml.writeAttribute(parameterNamespace, QStringLiteral("timeBase"), QStringLiteral("media"));
    xml.writeAttribute(xmlNamespace, QStringLiteral("lang"),
                       script.language.isEmpty() ? QStringLiteral("und") : script.language);
    xml.writeAttribute(daptNamespace, QStringLiteral("scriptRepresents"), describesPictures);
    xml.writeAttribute(daptNamespace, QStringLiteral("scriptType"), QStringLiteral("asRecorded"));
    xml.writeStartElement(ttNamespace, QStringLiteral("head"));
    xml.writeStartElement(ttNamespace, QStringLiteral("metadata"));
    for (const DaptAgent& agent : script.agents) {
        xml.writeStartElement(metadataNamespace, QStringLiteral("agent"));
        xml.writeAttribute(QStringLiteral("type"), QStringLiteral("character"));
        xml.writeAttribute(xmlNamespace, QStringLiteral("id"), agent.id);
        xml.writeStartElement(metadataNamespace, QStringLiteral("name"));
        xml.writeAttribute(QStringLiteral("type"), QStringLiteral("alias"));
        xml.writeCharacters(xmlText(agent.name));
        xml.writeEndElement();
        xml.writeEndElement();
    }
    xml.writeEndElement(); // metadata
    xml.writeEndElement(); // head
    xml.writeStartElement(ttNamespace, QStringLiteral("body"));
    for (qsizetype i = 0; i < script.events.size(); ++i) {
        if (!writeEvent(xml, script, i, clip, error)) {
            return false;
        }
        if (xml.hasError()) {
            break;
        }
    }
    xml.writeEndDocument();
    if (xml.hasError()) {
        if (error) {
            *error = device->errorString();
        }
        return false;
    }
    return true;
}

QByteArray daptDocument(const DaptScript& script) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    writeDaptDocument(script, &buffer, DaptClipBytes(), nullptr);
    return buffer.data();
}

bool saveDaptDocument(const DaptScript& script, const QString& path, const DaptClipBytes& clip,
                      QString* error) {
    QSaveFile file(path);
    QString reason;
    const bool written = file.open(QIODevice::WriteOnly) &&
                         writeDaptDocument(script, &file, clip, &reason) && file.commit();
    if (!written) {
        if (error) {
            *error = QObject::tr("failed to write DAPT file %1: %2")
                         .arg(path, reason.isEmpty() ? file.errorString() : reason);
        }
        return false;
    }
    return true;
}

} // namespace lyrane
