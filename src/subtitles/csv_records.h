#pragma once

#include <QChar>
#include <QStringList>
#include <QStringView>

namespace lyrane {

// Walks a table written as RFC 4180 has it (comma- or tab-separated values) record by record.
// A field in double quotes may hold separators, line breaks and doubled quotes; the text has
// LF line ends. Unquoted fields are trimmed; a blank line is a record of one empty field.
class CsvRecords {
public:
    CsvRecords(QStringView text, QChar separator) : text(text), separator(separator) {}

    bool atEnd() const { return pos >= text.size(); }
    // The next record's fields. False when a quoted field runs to the end of the text without
    // its closing quote.
    bool next(QStringList* fields);
    // Counted from 1: the record last read, and the line it started on.
    int recordNumber() const { return record; }
    int lineNumber() const { return recordLine; }

private:
    QStringView text;
    QChar separator;
    qsizetype pos = 0;
    int line = 1;
    int record = 0;
    int recordLine = 1;
};

// The separator of a header line: a tab when it holds one, else a comma.
QChar tableSeparator(QStringView headerLine);

} // namespace lyrane
