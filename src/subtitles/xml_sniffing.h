#pragma once

#include <QString>
#include <QStringView>

namespace lyrane {

// Whether text starts, after white space, as an XML document does: an XML declaration, a
// comment, a document type or an element.
bool looksLikeXml(QStringView content);

// Whether a file's first bytes, as UTF-8 or as the UTF-16 their byte-order mark names, look
// like an XML document (looksLikeXml). A file that cannot be read does not.
bool fileLooksLikeXml(const QString& path);

} // namespace lyrane
