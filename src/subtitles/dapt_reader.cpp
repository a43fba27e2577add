#include "subtitles/dapt_reader.h"

#include "subtitles/ttml_metadata.h"
#include "subtitles/ttml_paragraph.h"
#include "subtitles/ttml_time.h"

#include <QHash>
#include <QObject>
#include <QXmlStreamReader>

#include <vector>

namespace lyrane {

namespace {

const QLatin1String ttNamespace("http://www.w3.org/ns/ttml");
const QLatin1String parameterNamespace("http://www.w3.org/ns/ttml#parameter");
const QLatin1String metadataNamespace("http://www.w3.org/ns/ttml#metadata");
const QLatin1String daptNamespace("http://www.w3.org/ns/ttml/profile/dapt#metadata");
const QLatin1String ebuMetadataNamespace("urn:ebu:tt:metadata");
const QLatin1String xmlNamespace("http://www.w3.org/XML/1998/namespace");

// Deeper than any script nests (tt, body, a few divs, p, a few spans): a hostile document
// stops here instead of exhausting the stack of open elements.
constexpr int maxDepth = 64;

enum class Role { Document, Head, Body, Div, Paragraph, Span, Other };

// An open element: its active time (absolute, in microseconds) and what it hands down.
struct Frame {
    Role role = Role::Other;
    qint64 beginUs = 0;
    std::optional<qint64> endUs; // unset: indefinite
    bool active = true;          // false: timed wholly outside its parent
    bool preserveSpace = false;
    QString language;
    QString agents; // the ttm:agent references in effect
};

// A p being read, and once done its text.
struct Paragraph {
    TtmlParagraph text;
    QString spoken;
    QString language;
    QString agents;
    std::optional<qint64> beginUs; // of its earliest and latest text
    std::optional<qint64> endUs;
    bool endless = false; // some of its text has no end time
};

// A div being read.
struct Event {
    int line = 0;
    QString represents;
    QList<Paragraph> paragraphs;
};

struct PendingCue {
    qint64 beginUs = 0;
    qint64 endUs = 0;
    QString text;
    QString agent;
    QString represents;
    int line = 0;
};

// A notice that counts its cases and names the first.
struct CountedNotice {
    int count = 0;
    int firstLine = 0;
    QString first;
    void add(int line, const QString& what = QString()) {
        if (count++ == 0) {
            firstLine = line;
            first = what;
        }
    }
};

class DaptReader {
public:
    DaptReader(const QString& content, const SubtitleReadingOptions& options, const QString& source)
        : xml(content), options(options), source(source) {}
    DaptReader(QIODevice* device, const SubtitleReadingOptions& options, const QString& source)
        : xml(device), options(options), source(source) {}

    std::optional<SubtitleFile> read(QString* error);

private:
    bool startElement();
    bool endElement();
    void characters();
    bool readRoot();
    bool readTimed(Role role, Frame* frame);
    bool finishEvent();
    std::optional<qint64> programmeOffset();
    QString located(int line, const QString& message) const;
    bool fail(int line, const QString& message);
    int line() const { return int(xml.lineNumber()); }

    QXmlStreamReader xml;
    const SubtitleReadingOptions& options;
    const QString& source;
    QString failure;

    std::vector<Frame> stack;
    std::vector<Event> events;
    std::optional<Paragraph> paragraph;
    QList<PendingCue> cues;
    QHash<QString, QString> agentNames;
    TtmlTimeParameters time;
    QString documentLanguage;
    QString originTimecode;
    int originLine = 0;
    QString programmeStart;
    int programmeStartLine = 0;
    CountedNotice otherLanguages;
    CountedNotice untimedText;
    CountedNotice speechAttributes;
};

QString DaptReader::located(int at, const QString& message) const {
    const QString text = QObject::tr("line %1: %2").arg(at).arg(message);
    return source.isEmpty() ? text : QStringLiteral("%1: %2").arg(source, text);
}

bool DaptReader::fail(int at, const QString& message) {
    if (failure.isEmpty()) {
        failure = located(at, message);
    }
    return false;
}

bool DaptReader::readRoot() {
    if (xml.name() != QLatin1String("tt") || xml.namespaceUri() != ttNamespace) {
        return fail(line(), QObject::tr("not a TTML document: the root element is <%1>%2, a "
                                        "DAPT script's is <tt> in %3")
                                .arg(xml.qualifiedName())
                                .arg(xml.namespaceUri().isEmpty()
                                         ? QString()
                                         : QObject::tr(" in %1").arg(xml.namespaceUri()),
                                     ttNamespace));
    }
    const QXmlStreamAttributes attributes = xml.attributes();
    const QStringView timeBase = attributes.value(parameterNamespace, QLatin1String("timeBase"));
    if (!timeBase.isEmpty() && timeBase != QLatin1String("media")) {
        return fail(line(), QObject::tr("ttp:timeBase=\"%1\" is not supported: a DAPT script "
                                        "is timed in media time")
                                .arg(timeBase));
    }
    QString problem;
    const std::optional<TtmlTimeParameters> parameters =
        readTtmlTimeParameters(attributes, options.frameRate, &problem);
    if (!parameters) {
        return fail(line(), problem);
    }
    time = *parameters;
    Frame root;
    root.role = Role::Document;
    documentLanguage = attributes.value(xmlNamespace, QLatin1String("lang")).toString();
    root.language = documentLanguage;
    root.preserveSpace =
        attributes.value(xmlNamespace, QLatin1String("space")) == QLatin1String("preserve");
    stack.push_back(root);
    return true;
}

bool DaptReader::readTimed(Role role, Frame* frame) {
    const Frame& parent = stack.back();
    const QXmlStreamAttributes attributes = xml.attributes();
    const QStringView container = attributes.value(QString(), QLatin1String("timeContainer"));
    if (!container.isEmpty() && container != QLatin1String("par")) {
        return fail(line(), QObject::tr("timeContainer=\"%1\" is not supported: a DAPT script's "
                                        "times are all relative to their parent's begin")
                                .arg(container));
    }
    const auto timeOf = [&](const char* name, std::optional<qint64>* value) {
        const QStringView text = attributes.value(QString(), QLatin1String(name));
        if (text.isNull()) {
            return true;
        }
        QString problem;
        *value = readTtmlTime(text, time, &problem);
        return value->has_value() ||
               fail(line(), QObject::tr("%1 of <%2>: %3")
                                .arg(QLatin1String(name), xml.name().toString(), problem));
    };
    std::optional<qint64> begin;
    std::optional<qint64> end;
    std::optional<qint64> duration;
    if (!timeOf("begin", &begin) || !timeOf("end", &end) || !timeOf("dur", &duration)) {
        return false;
    }
    frame->role = role;
    frame->beginUs = parent.beginUs + begin.value_or(0);
    frame->endUs = parent.endUs;
    const auto cut = [frame](qint64 at) {
        frame->endUs = frame->endUs ? qMin(*frame->endUs, at) : at;
    };
    if (end) {
        cut(parent.beginUs + *end);
    }
    if (duration) {
        cut(frame->beginUs + *duration);
    }
    frame->active = parent.active && (!frame->endUs || *frame->endUs >= frame->beginUs);
    return true;
}

bool DaptReader::startElement() {
    if (stack.empty()) {
        return readRoot();
    }
    if (int(stack.size()) >= maxDepth) {
        return fail(line(), QObject::tr("elements are nested more than %1 deep").arg(maxDepth));
    }
    const QString speech = speechRateAttribute(xml.attributes());
    if (!speech.isEmpty()) {
        speechAttributes.add(line(), speech);
    }
    const QStringView name = xml.name();
    const QStringView uri = xml.namespaceUri();
    if (uri == metadataNamespace && name == QLatin1String("agent")) {
        const QString id = xml.attributes().value(xmlNamespace, QLatin1String("id")).toString();
        const QString agentName = readAgentName(xml);
        if (!id.isEmpty()) {
            agentNames.insert(id, agentName);
        }
        return true;
    }
    if ((uri == daptNamespace && name == QLatin1String("daptOriginTimecode")) ||
        (uri == ebuMetadataNamespace && name == QLatin1String("documentStartOfProgramme"))) {
        const bool origin = uri == daptNamespace;
        (origin ? originLine : programmeStartLine) = line();
        (origin ? originTimecode : programmeStart) =
            xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
        return true;
    }
    const Role parent = stack.back().role;
    Role role = Role::Other;
    if (uri == ttNamespace) {
        if (name == QLatin1String("head") && parent == Role::Document) {
            role = Role::Head;
        } else if (name == QLatin1String("body") && parent == Role::Document) {
            role = Role::Body;
        } else if (name == QLatin1String("div") && (parent == Role::Body || parent == Role::Div)) {
            role = Role::Div;
        } else if (name == QLatin1String("p") && parent == Role::Div) {
            role = Role::Paragraph;
        } else if (name == QLatin1String("span") &&
                   (parent == Role::Paragraph || parent == Role::Span)) {
            role = Role::Span;
        } else if (name == QLatin1String("br") && paragraph) {
            paragraph->text.addLineBreak();
        }
    }
    Frame frame = stack.back();
    frame.role = Role::Other;
    if (role == Role::Body || role == Role::Div || role == Role::Paragraph || role == Role::Span) {
        if (!readTimed(role, &frame)) {
            return false;
        }
    } else if (role == Role::Head) {
        frame.role = role;
    }
    const QXmlStreamAttributes attributes = xml.attributes();
    if (attributes.hasAttribute(xmlNamespace, QLatin1String("lang"))) {
        frame.language = attributes.value(xmlNamespace, QLatin1String("lang")).toString();
    }
    const QStringView space = attributes.value(xmlNamespace, QLatin1String("space"));
    if (!space.isEmpty()) {
        frame.preserveSpace = space == QLatin1String("preserve");
    }
    if (role == Role::Div || role == Role::Paragraph) {
        const QStringView agents = attributes.value(metadataNamespace, QLatin1String("agent"));
        if (!agents.trimmed().isEmpty()) {
            frame.agents = agents.trimmed().toString();
        }
    }
    if (role == Role::Div) {
        Event event;
        event.line = line();
        event.represents =
            attributes.value(daptNamespace, QLatin1String("represents")).trimmed().toString();
        events.push_back(event);
    } else if (role == Role::Paragraph) {
        paragraph.emplace();
        paragraph->language = frame.language;
        paragraph->agents = frame.agents;
    }
    stack.push_back(frame);
    return true;
}

void DaptReader::characters() {
    const Frame& frame = stack.back();
    if (!paragraph || (frame.role != Role::Paragraph && frame.role != Role::Span)) {
        return; // white space between elements, or text TTML puts nowhere
    }
    if (!frame.active) {
        if (!xml.isWhitespace()) {
            untimedText.add(line());
        }
        return;
    }
    paragraph->text.addCharacters(xml.text(), frame.preserveSpace);
    if (xml.isWhitespace()) {
        return;
    }
    paragraph->beginUs =
        paragraph->beginUs ? qMin(*paragraph->beginUs, frame.beginUs) : frame.beginUs;
    if (!frame.endUs) {
        paragraph->endless = true;
    } else {
        paragraph->endUs = paragraph->endUs ? qMax(*paragraph->endUs, *frame.endUs) : *frame.endUs;
    }
}

bool DaptReader::endElement() {
    const Role role = stack.back().role;
    stack.pop_back();
    if (role == Role::Paragraph && paragraph && !events.empty()) {
        paragraph->spoken = paragraph->text.spokenText();
        if (!paragraph->spoken.isEmpty()) {
            events.back().paragraphs.append(std::move(*paragraph));
        }
        paragraph.reset();
    } else if (role == Role::Div) {
        return finishEvent();
    }
    return true;
}

bool DaptReader::finishEvent() {
    const Event event = std::move(events.back());
    events.pop_back();
    if (event.paragraphs.isEmpty()) {
        return true;
    }
    // The document's language first; a div with none in it speaks its first paragraph's.
    QString language = event.paragraphs.first().language;
    for (const Paragraph& p : event.paragraphs) {
        if (p.language.compare(documentLanguage, Qt::CaseInsensitive) == 0) {
            language = p.language;
            break;
        }
    }
    PendingCue cue;
    cue.line = event.line;
    cue.represents = event.represents;
    QStringList texts;
    bool first = true;
    for (const Paragraph& p : event.paragraphs) {
        if (p.language.compare(language, Qt::CaseInsensitive) != 0) {
            otherLanguages.add(event.line);
            continue;
        }
        if (p.endless) {
            return fail(event.line, QObject::tr("the text of this div has no end time: no end "
                                                "or dur on it, its p or span, or around them"));
        }
        cue.beginUs = first ? *p.beginUs : qMin(cue.beginUs, *p.beginUs);
        cue.endUs = first ? *p.endUs : qMax(cue.endUs, *p.endUs);
        if (first) {
            cue.agent = p.agents.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
        }
        first = false;
        texts << p.spoken;
    }
    cue.text = texts.join(QLatin1Char(' '));
    cues.append(cue);
    return true;
}

// How far the programme's first frame lies from the document's zero, in microseconds.
std::optional<qint64> DaptReader::programmeOffset() {
    const std::optional<SmpteTimecode>& origin = options.timecodeOrigin;
    if (originTimecode.isEmpty()) {
        return origin ? origin->toMicroseconds() : 0;
    }
    if (!origin && programmeStart.isEmpty()) {
        return 0;
    }
    if (!time.frameRateGiven) {
        fail(originLine, QObject::tr("daptm:daptOriginTimecode needs a frame rate: ttp:frameRate "
                                     "on <tt>, or --frame-rate"));
        return std::nullopt;
    }
    const FrameRate rate = time.exactFrameRate();
    QString problem;
    const std::optional<SmpteTimecode> documentOrigin =
        readTimecode(originTimecode, rate, &problem);
    if (!documentOrigin) {
        fail(originLine, QObject::tr("daptm:daptOriginTimecode: %1").arg(problem));
        return std::nullopt;
    }
    if (origin) {
        return origin->toMicroseconds() - documentOrigin->toMicroseconds();
    }
    const std::optional<SmpteTimecode> start = readTimecode(programmeStart, rate, &problem);
    if (!start) {
        fail(programmeStartLine, QObject::tr("ebuttm:documentStartOfProgramme: %1").arg(problem));
        return std::nullopt;
    }
    return start->toMicroseconds() - documentOrigin->toMicroseconds();
}

std::optional<SubtitleFile> DaptReader::read(QString* error) {
    const auto failed = [&]() -> std::optional<SubtitleFile> {
        if (error) {
            *error = failure;
        }
        return std::nullopt;
    };
    bool ok = true;
    while (ok && !xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement:
            ok = startElement();
            break;
        case QXmlStreamReader::EndElement:
            ok = endElement();
            break;
        case QXmlStreamReader::Characters:
            characters();
            break;
        case QXmlStreamReader::EntityReference:
            ok = fail(line(), QObject::tr("the entity &%1; is not defined").arg(xml.name()));
            break;
        default:
            break;
        }
    }
    if (ok && xml.hasError()) {
        fail(line(), QObject::tr("not well-formed XML (column %1): %2")
                         .arg(xml.columnNumber())
                         .arg(xml.errorString()));
    }
    if (!failure.isEmpty()) {
        return failed();
    }
    const std::optional<qint64> offset = programmeOffset();
    if (!offset) {
        return failed();
    }
    SubtitleFile file;
    for (const PendingCue& pending : std::as_const(cues)) {
        if (pending.beginUs < *offset) {
            fail(pending.line, QObject::tr("this div begins before the programme's first frame "
                                           "(the timecode origin)"));
            return failed();
        }
        Cue cue;
        cue.startMs = roundedMilliseconds(pending.beginUs - *offset);
        cue.endMs = roundedMilliseconds(pending.endUs - *offset);
        cue.text = pending.text;
        // An agent without a name, or one the head does not define, is named by its reference.
        const QString named = agentNames.value(pending.agent);
        cue.speaker = pending.agent.isEmpty() ? pending.represents
                      : named.isEmpty()       ? pending.agent
                                              : named;
        file.cues.append(cue);
    }
    if (speechAttributes.count > 0) {
        file.notices << located(speechAttributes.firstLine,
                                QObject::tr("speech rate and pitch (%1) are ignored: each "
                                            "description is spoken at its voice's own pace")
                                    .arg(speechAttributes.first));
    }
    if (otherLanguages.count > 0) {
        file.notices << located(otherLanguages.firstLine,
                                QObject::tr("%1 p element(s) in another language than the "
                                            "document's are left out, the first in this div")
                                    .arg(otherLanguages.count));
    }
    if (untimedText.count > 0) {
        file.notices << located(untimedText.firstLine,
                                QObject::tr("%1 text(s) timed outside their parent are left out, "
                                            "the first here")
                                    .arg(untimedText.count));
    }
    return file;
}

} // namespace

std::optional<SubtitleFile> readDaptScript(const QString& content,
                                           const SubtitleReadingOptions& options,
                                           const QString& source, QString* error) {
    DaptReader reader(content, options, source);
    return reader.read(error);
}

std::optional<SubtitleFile> readDaptScript(QIODevice* device, const SubtitleReadingOptions& options,
                                           const QString& source, QString* error) {
    DaptReader reader(device, options, source);
    return reader.read(error);
}

} // namespace lyrane
