#include "attachmentuploadbody.h"

#include <cstring>

namespace velto {

namespace {

const QByteArray crlf = QByteArrayLiteral("\r\n");

// RFC 9110 token characters.
bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (!isTokenChar(c))
            return false;
    }
    return true;
}

} // namespace

AttachmentUploadBody::AttachmentUploadBody(const QString& path, const QByteArray& boundary, const QString& fileName,
                                           const QString& mimeType, const QString& messageId, QObject* parent)
    : QIODevice(parent)
    , m_file(path, this) // a child, so it moves between threads with the body
    , m_head(head(boundary, fileName, mimeType))
    , m_tail(tail(boundary, messageId))
{
}

QByteArray AttachmentUploadBody::quotedFileName(const QString& name)
{
    // The name comes from whoever sent the message: it must not end the quoted string or the
    // header line early.
    const QByteArray utf8 = name.toUtf8();
    QByteArray quoted;
    quoted.reserve(utf8.size());
    for (char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f)
            continue;
        if (c == '"' || c == '\\')
            quoted.append('\\');
        quoted.append(c);
    }
    return quoted;
}

QByteArray AttachmentUploadBody::mediaType(const QString& mimeType)
{
    const QByteArray text = mimeType.toUtf8();
    const qsizetype slash = text.indexOf('/');
    if (slash > 0 && isToken(QByteArrayView(text).first(slash)) && isToken(QByteArrayView(text).sliced(slash + 1)))
        return text;
    return QByteArrayLiteral("application/octet-stream");
}

QByteArray AttachmentUploadBody::head(const QByteArray& boundary, const QString& fileName, const QString& mimeType)
{
    return "--" + boundary + crlf                                                                    //
           + "Content-Disposition: form-data; name=\"file\"; filename=\"" + quotedFileName(fileName) + '"' + crlf //
           + "Content-Type: " + mediaType(mimeType) + crlf + crlf;
}

QByteArray AttachmentUploadBody::tail(const QByteArray& boundary, const QString& messageId)
{
    return crlf                                                                 //
           + "--" + boundary + crlf                                             //
           + "Content-Disposition: form-data; name=\"messageId\"" + crlf + crlf //
           + messageId.toUtf8() + crlf                                          //
           + "--" + boundary + "--" + crlf;
}

bool AttachmentUploadBody::open(OpenMode)
{
    if (!m_file.open(QIODevice::ReadOnly)) {
        setErrorString(m_file.errorString());
        return false;
    }
    m_fileSize = m_file.size();
    return QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

void AttachmentUploadBody::close()
{
    m_file.close();
    QIODevice::close();
}

qint64 AttachmentUploadBody::size() const
{
    return m_head.size() + m_fileSize + m_tail.size();
}

bool AttachmentUploadBody::seek(qint64 pos)
{
    if (pos < 0 || pos > size())
        return false;
    return QIODevice::seek(pos);
}

qint64 AttachmentUploadBody::readData(char* data, qint64 maxSize)
{
    // Unbuffered, so pos() is where this read starts.
    qint64 pos = this->pos();
    const qint64 fileEnd = m_head.size() + m_fileSize;
    qint64 done = 0;
    while (done < maxSize && pos < size()) {
        qint64 n = 0;
        if (pos < m_head.size()) {
            n = qMin(maxSize - done, m_head.size() - pos);
            std::memcpy(data + done, m_head.constData() + pos, size_t(n));
        } else if (pos < fileEnd) {
            const qint64 offset = pos - m_head.size();
            if (m_file.pos() != offset && !m_file.seek(offset)) {
                setErrorString(m_file.errorString());
                return -1;
            }
            n = m_file.read(data + done, qMin(maxSize - done, m_fileSize - offset));
            if (n < 0) {
                setErrorString(m_file.errorString());
                return -1;
            }
            if (n == 0) {
                setErrorString(QStringLiteral("The file became shorter while it was being sent"));
                return -1;
            }
        } else {
            const qint64 offset = pos - fileEnd;
            n = qMin(maxSize - done, m_tail.size() - offset);
            std::memcpy(data + done, m_tail.constData() + offset, size_t(n));
        }
        done += n;
        pos += n;
    }
    return done;
}

qint64 AttachmentUploadBody::writeData(const char*, qint64)
{
    return -1;
}

} // namespace velto
