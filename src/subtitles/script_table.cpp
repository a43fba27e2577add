#include "subtitles/script_table.h"

#include "subtitles/csv_records.h"
#include "subtitles/ttml_time.h"

#include <QObject>

namespace lyrane {

namespace {

// Where each known column is; -1 when the header has none.
struct Columns {
    qsizetype in = -1;
    qsizetype out = -1;
    qsizetype text = -1;
    qsizetype speaker = -1;

    bool usable() const { return in >= 0 && text >= 0; }
};

Columns findColumns(const QStringList& header) {
    Columns columns;
    const auto take = [](qsizetype* column, qsizetype index) {
        if (*column < 0) {
            *column = index;
        }
    };
    for (qsizetype i = 0; i < header.size(); ++i) {
        const QString name = header[i].simplified().toLower();
        if (name == QLatin1String("in") || name == QLatin1String("start")) {
            take(&columns.in, i);
        } else if (name == QLatin1String("out") || name == QLatin1String("end")) {
            take(&columns.out, i);
        } else if (name == QLatin1String("text") || name == QLatin1String("description")) {
            take(&columns.text, i);
        } else if (name == QLatin1String("speaker") || name == QLatin1String("character")) {
            take(&columns.speaker, i);
        }
    }
    return columns;
}

// Skips blank lines; the header is the first record after them.
struct Header {
    QStringList names;
    QChar separator;
    qsizetype offset = 0; // where the header's line starts
    int blankLines = 0;
};

Header readHeader(QStringView content) {
    Header header;
    while (header.offset < content.size()) {
        qsizetype lineEnd = content.indexOf(QLatin1Char('\n'), header.offset);
        if (lineEnd < 0) {
            lineEnd = content.size();
        }
        const QStringView line = content.mid(header.offset, lineEnd - header.offset);
        if (!line.trimmed().isEmpty()) {
            header.separator = tableSeparator(line);
            CsvRecords records(content.mid(header.offset), header.separator);
            records.next(&header.names);
            return header;
        }
        header.offset = lineEnd + 1;
        ++header.blankLines;
    }
    return header;
}

QString field(const QStringList& fields, qsizetype column) {
    return column >= 0 && column < fields.size() ? fields[column] : QString();
}

// A text cell as one line: its lines trimmed, blank ones dropped, the rest joined by spaces.
QString spokenText(const QString& cell) {
    QStringList lines;
    for (const QString& line : cell.split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty()) {
            lines << line.trimmed();
        }
    }
    return lines.join(QLatin1Char(' '));
}

struct Row {
    int number = 0;
    qint64 startUs = 0;
    std::optional<qint64> endUs;
    QString text;
    QString speaker;
};

class TableReader {
public:
    TableReader(const SubtitleReadingOptions& options, const QString& source)
        : options(options), source(source) {}

    // A cell's time, less the origin, in microseconds.
    std::optional<qint64> readTime(const QString& cell, int row, QString* error) const;
    QString aboutRow(int row, const QString& message) const;

private:
    const SubtitleReadingOptions& options;
    const QString& source;
};

QString TableReader::aboutRow(int row, const QString& message) const {
    const QString located = QObject::tr("row %1: %2").arg(row).arg(message);
    return source.isEmpty() ? located : QStringLiteral("%1: %2").arg(source, located);
}

std::optional<qint64> TableReader::readTime(const QString& cell, int row, QString* error) const {
    const QString text = cell.trimmed();
    const auto fail = [&](const QString& message) {
        *error = aboutRow(row, message);
        return std::nullopt;
    };
    const std::optional<SmpteTimecode>& origin = options.timecodeOrigin;
    if (looksLikeTimecode(text)) {
        if (!options.frameRate) {
            return fail(QObject::tr("the timecode %1 needs --frame-rate (one of %2)")
                            .arg(text, knownFrameRates()));
        }
        QString problem;
        std::optional<SmpteTimecode> timecode = readTimecode(text, *options.frameRate, &problem);
        if (!timecode) {
            return fail(problem);
        }
        // Frames from the origin when both count alike: no rounding before the difference.
        const bool sameRate = origin && origin->rate.numerator == timecode->rate.numerator &&
                              origin->rate.denominator == timecode->rate.denominator;
        if (sameRate) {
            timecode->frame -= origin->frame;
        }
        const qint64 us =
            timecode->toMicroseconds() - (origin && !sameRate ? origin->toMicroseconds() : 0);
        if (timecode->frame < 0 || us < 0) {
            return fail(QObject::tr("%1 is before the timecode origin").arg(text));
        }
        return us;
    }
    // Clock times only (no "5s" offsets); a decimal comma as some spreadsheets write it.
    QString clock = text;
    if (clock.count(QLatin1Char(':')) == 2 && clock.count(QLatin1Char(',')) == 1) {
        clock.replace(QLatin1Char(','), QLatin1Char('.'));
    }
    const std::optional<qint64> us =
        clock.count(QLatin1Char(':')) == 2 && !clock.contains(QLatin1Char(';'))
            ? readTtmlTime(clock, TtmlTimeParameters(), nullptr)
            : std::nullopt;
    if (!us) {
        return fail(QObject::tr("\"%1\" is neither a timecode (hh:mm:ss:ff, drop-frame "
                                "hh:mm:ss;ff) nor a clock time (hh:mm:ss.fff)")
                        .arg(text));
    }
    const qint64 fromOrigin = *us - (origin ? origin->toMicroseconds() : 0);
    if (fromOrigin < 0) {
        return fail(QObject::tr("%1 is before the timecode origin").arg(text));
    }
    return fromOrigin;
}

} // namespace

bool looksLikeScriptTable(QStringView content) {
    if (content.startsWith(QChar(0xFEFF))) {
        content = content.mid(1);
    }
    const Header header = readHeader(content);
    return header.names.size() >= 2 && findColumns(header.names).usable();
}

std::optional<SubtitleFile> readScriptTable(QStringView content,
                                            const SubtitleReadingOptions& options,
                                            const QString& source, QString* error) {
    if (content.startsWith(QChar(0xFEFF))) {
        content = content.mid(1);
    }
    const Header header = readHeader(content);
    const Columns columns = findColumns(header.names);
    const TableReader reader(options, source);
    QString failure;
    const auto fail = [&](const QString& message) {
        if (error) {
            *error = message;
        }
        return std::nullopt;
    };
    if (!columns.usable()) {
        return fail(reader.aboutRow(header.blankLines + 1,
                                    QObject::tr("no header naming an in-time and a text column")));
    }

    CsvRecords records(content.mid(header.offset), header.separator);
    QStringList fields;
    records.next(&fields); // the header
    QList<Row> rows;
    while (!records.atEnd()) {
        if (!records.next(&fields)) {
            return fail(reader.aboutRow(records.recordNumber() + header.blankLines,
                                        QObject::tr("a quoted field is never closed")));
        }
        const int number = records.recordNumber() + header.blankLines;
        Row row;
        row.number = number;
        row.text = spokenText(field(fields, columns.text));
        const QString in = field(fields, columns.in).trimmed();
        const QString out = field(fields, columns.out).trimmed();
        if (in.isEmpty()) {
            if (row.text.isEmpty() && out.isEmpty()) {
                continue; // a blank row
            }
            return fail(reader.aboutRow(number, QObject::tr("no in-time")));
        }
        const std::optional<qint64> start = reader.readTime(in, number, &failure);
        if (!start) {
            return fail(failure);
        }
        row.startUs = *start;
        if (!out.isEmpty()) {
            row.endUs = reader.readTime(out, number, &failure);
            if (!row.endUs) {
                return fail(failure);
            }
            if (*row.endUs < row.startUs) {
                return fail(reader.aboutRow(
                    number, QObject::tr("the out-time %1 is before the in-time %2").arg(out, in)));
            }
        }
        row.speaker = field(fields, columns.speaker).simplified();
        rows.append(row);
    }

    SubtitleFile file;
    int untextedRows = 0;
    int firstUntexted = 0;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        Row& row = rows[i];
        if (!row.endUs && i + 1 < rows.size()) {
            if (rows[i + 1].startUs < row.startUs) {
                return fail(
                    reader.aboutRow(row.number, QObject::tr("no out-time, and the next row begins "
                                                            "before this one")));
            }
            row.endUs = rows[i + 1].startUs;
        } else if (!row.endUs) {
            row.endUs = row.startUs;
            if (!row.text.isEmpty()) {
                file.notices << reader.aboutRow(row.number,
                                                QObject::tr("no out-time and no row after it; "
                                                            "its cue ends where it begins"));
            }
        }
        if (row.text.isEmpty()) {
            firstUntexted = untextedRows++ == 0 ? row.number : firstUntexted;
            continue;
        }
        Cue cue;
        cue.startMs = roundedMilliseconds(row.startUs);
        cue.endMs = roundedMilliseconds(*row.endUs);
        cue.text = row.text;
        cue.speaker = row.speaker;
        file.cues.append(cue);
    }
    if (untextedRows == 1) {
        file.notices.prepend(
            reader.aboutRow(firstUntexted, QObject::tr("no text; the row is left out")));
    } else if (untextedRows > 1) {
        const QString notice = QObject::tr("%1 rows without text are left out, the first at row %2")
                                   .arg(untextedRows)
                                   .arg(firstUntexted);
        file.notices.prepend(source.isEmpty() ? notice
                                              : QStringLiteral("%1: %2").arg(source, notice));
    }
    return file;
}

} // namespace lyrane
