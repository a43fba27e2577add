#include "serve/file_answer.h"

#include "serve/request_guard.h"

#include <QFile>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>
#include <memory>

namespace lyrane {

namespace {

constexpr qint64 kChunkBytes = 256 * 1024;
constexpr qint64 kQueuedBytes = 1024 * 1024; // in the socket's buffer before it waits

using Status = QHttpServerResponder::StatusCode;

// Writes what is left of the file while the socket's buffer is short; called again as the
// socket sends.
class FileStream : public QObject {
public:
    FileStream(QTcpSocket* socket, std::unique_ptr<QFile> file, qint64 left)
        : QObject(socket), socket(socket), file(std::move(file)), left(left) {
        connect(socket, &QTcpSocket::bytesWritten, this, &FileStream::pump);
    }

    void pump() {
        while (left > 0 && socket->bytesToWrite() < kQueuedBytes) {
            const QByteArray chunk = file->read(std::min(left, kChunkBytes));
            if (chunk.isEmpty()) {
                // The file shrank under the answer: the length sent cannot be kept.
                socket->abort();
                return;
            }
            socket->write(chunk);
            left -= chunk.size();
        }
        if (left == 0) {
            deleteLater();
        }
    }

private:
    QTcpSocket* socket;
    std::unique_ptr<QFile> file;
    qint64 left;
};

} // namespace

QString ServedFiles::clipAddress(const QString& path) {
    const QString address = QStringLiteral("/clips/") + QFileInfo(path).fileName();
    byAddress.insert(address, QFileInfo(path).absoluteFilePath());
    return address;
}

QString ServedFiles::setNarration(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    const QString address =
        QStringLiteral("/narration") + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
    byAddress.insert(address, QFileInfo(path).absoluteFilePath());
    return address;
}

std::optional<QString> ServedFiles::find(const QString& requestPath) const {
    const auto found = byAddress.constFind(requestPath);
    return found == byAddress.constEnd() ? std::nullopt : std::optional<QString>(*found);
}

FileSpan requestedSpan(const QByteArray& range, qint64 size) {
    static const QRegularExpression form(QStringLiteral("^bytes=([0-9]{0,18})-([0-9]{0,18})$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(range.trimmed()));
    FileSpan whole{FileSpan::Kind::Whole, 0, size};
    if (!match.hasMatch() || (match.capturedLength(1) == 0 && match.capturedLength(2) == 0)) {
        return whole;
    }
    const FileSpan unsatisfiable{FileSpan::Kind::Unsatisfiable, 0, 0};
    if (match.capturedLength(1) == 0) {
        const qint64 suffix = match.captured(2).toLongLong();
        if (suffix == 0) {
            return unsatisfiable;
        }
        const qint64 length = std::min(suffix, size);
        return {FileSpan::Kind::Part, size - length, length};
    }
    const qint64 first = match.captured(1).toLongLong();
    qint64 last = match.capturedLength(2) == 0 ? size - 1 : match.captured(2).toLongLong();
    if (match.capturedLength(2) > 0 && last < first) {
        return whole; // not a valid range: ignored
    }
    if (first >= size) {
        return unsatisfiable;
    }
    last = std::min(last, size - 1);
    return {FileSpan::Kind::Part, first, last - first + 1};
}

void writeAnswer(QHttpServerResponder& responder, QHttpServerResponder::StatusCode status,
                 const QByteArray& body, const AnswerHeaders& headers) {
    responder.writeStatusLine(status);
    for (const auto& [name, value] : headers) {
        responder.writeHeader(name, value);
    }
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("Content-Length", QByteArray::number(body.size()));
    responder.writeBody(body);
}

QByteArray servedMimeType(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    static const QHash<QString, QByteArray> types{
        {QStringLiteral("wav"), "audio/wav"},       {QStringLiteral("mp3"), "audio/mpeg"},
        {QStringLiteral("m4a"), "audio/mp4"},       {QStringLiteral("mp4"), "video/mp4"},
        {QStringLiteral("mov"), "video/quicktime"}, {QStringLiteral("mkv"), "video/x-matroska"},
    };
    return types.value(suffix, "application/octet-stream");
}

void answerWithFile(QHttpServerResponder&& responder, const QHttpServerRequest& request,
                    const QString& path) {
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly)) {
        writeAnswer(responder, Status::NotFound);
        return;
    }
    const qint64 size = file->size();
    const FileSpan span = requestedSpan(RequestGuard::header(request, "Range"), size);
    if (span.kind == FileSpan::Kind::Unsatisfiable) {
        writeAnswer(responder, Status::RequestRangeNotSatisfiable, QByteArray(),
                    {{"Content-Range", "bytes */" + QByteArray::number(size)}});
        return;
    }
    const bool part = span.kind == FileSpan::Kind::Part;
    responder.writeStatusLine(part ? Status::PartialContent : Status::Ok);
    responder.writeHeader("Content-Type", servedMimeType(path));
    responder.writeHeader("Content-Length", QByteArray::number(span.length));
    responder.writeHeader("Accept-Ranges", "bytes");
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    if (part) {
        responder.writeHeader("Content-Range",
                              "bytes " + QByteArray::number(span.first) + '-' +
                                  QByteArray::number(span.first + span.length - 1) + '/' +
                                  QByteArray::number(size));
    }
    responder.writeBody(QByteArray());
    if (span.length == 0 || !file->seek(span.first)) {
        return;
    }
    (new FileStream(responder.socket(), std::move(file), span.length))->pump();
}

} // namespace lyrane
