#pragma once

#include <QByteArray>
#include <QHash>
#include <QHttpServerResponder>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

class QHttpServerRequest;

namespace lyrane {

// The files a page served live may play, each under a name lyrane made: the run's clips under
// /clips/ and the output as /narration. A request's path is only ever looked up here, so no part
// of it reaches the file system.
class ServedFiles {
public:
    // The address of a clip of the run, now served.
    QString clipAddress(const QString& path);
    // The output, served under its kind's extension; the address without its version.
    QString setNarration(const QString& path);
    // The file a request's path names; nothing for any other path.
    std::optional<QString> find(const QString& requestPath) const;

private:
    QHash<QString, QString> byAddress;
};

// The part of a file a request asks for: all of it, or the one byte range of its Range header.
struct FileSpan {
    enum class Kind { Whole, Part, Unsatisfiable };
    Kind kind = Kind::Whole;
    qint64 first = 0;
    qint64 length = 0;
};

// Reads a Range header ("bytes=A-B", "bytes=A-", "bytes=-N") against a file of `size` bytes. A
// header that is not one byte range is ignored, as HTTP allows: the whole file is sent.
FileSpan requestedSpan(const QByteArray& range, qint64 size);

using AnswerHeaders = QList<QPair<QByteArray, QByteArray>>;

// Writes a whole answer: its status, headers, length and body. Every answer is kept out of
// caches, as the narration changes under the same names.
void writeAnswer(QHttpServerResponder& responder, QHttpServerResponder::StatusCode status,
                 const QByteArray& body = QByteArray(), const AnswerHeaders& headers = {});

// The MIME type of a served file, from its extension.
QByteArray servedMimeType(const QString& path);

// Answers with the file, whole or the span asked for (players seek with ranges). The body goes
// out as the socket takes it, so memory stays that of a chunk however long the narration.
void answerWithFile(QHttpServerResponder&& responder, const QHttpServerRequest& request,
                    const QString& path);

} // namespace lyrane
