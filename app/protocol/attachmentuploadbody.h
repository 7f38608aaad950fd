#pragma once

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QString>

namespace velto {

// The multipart/form-data body of one attachment upload: the part headers, the file's bytes and
// the closing parts, read as one random-access device. The file is read from disk only as the
// network asks for more, so memory stays flat however large the file is.
//
// The body carries a "file" part (the file with its name and media type) and a "messageId"
// part. The file's size is taken when the device opens and exactly that many bytes are sent; a
// file that shrinks meanwhile ends the read with an error instead of a short body.
class AttachmentUploadBody : public QIODevice {
    Q_OBJECT
public:
    AttachmentUploadBody(const QString& path, const QByteArray& boundary, const QString& fileName,
                         const QString& mimeType, const QString& messageId, QObject* parent = nullptr);

    // Opens the file for reading (the mode is always read-only, unbuffered); false with
    // errorString() set to the system's text when it cannot be read.
    bool open(OpenMode mode = ReadOnly) override;
    void close() override;
    bool isSequential() const override { return false; }
    qint64 size() const override;
    bool seek(qint64 pos) override;

    qint64 fileSize() const { return m_fileSize; }

    // The file name as it goes between the quotes of the Content-Disposition line: line breaks
    // and other control characters dropped, '\' and '"' escaped.
    static QByteArray quotedFileName(const QString& name);
    // The media type as it goes on the part's Content-Type line: `type/subtype` made of tokens,
    // anything else "application/octet-stream".
    static QByteArray mediaType(const QString& mimeType);
    // The text before the file's bytes and the text after them.
    static QByteArray head(const QByteArray& boundary, const QString& fileName, const QString& mimeType);
    static QByteArray tail(const QByteArray& boundary, const QString& messageId);

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    QFile m_file;
    QByteArray m_head;
    QByteArray m_tail;
    qint64 m_fileSize = 0;
};

} // namespace velto
