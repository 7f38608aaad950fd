// Memory while the attachment uploader sends several large files at once to the reference
// server: peak resident set size against the idle figure measured in the same run. The files
// are streamed from disk, so the peak should stay far below the size of even one file.
#include "attachmentuploadbody.h"
#include "attachmentuploader.h"
#include "relayserverharness.h"
#include "task.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>

using namespace velto;

namespace {

struct Memory {
    qint64 rssKiB = 0;
    qint64 peakKiB = 0; // the kernel's high-water mark since the last reset
};

Memory readMemory()
{
    QFile status(QStringLiteral("/proc/self/status"));
    Memory memory;
    if (!status.open(QIODevice::ReadOnly))
        return memory;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            memory.rssKiB = line.mid(6).trimmed().split(' ').first().toLongLong();
        else if (line.startsWith("VmHWM:"))
            memory.peakKiB = line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return memory;
}

// Resets VmHWM to the current RSS, so the peak read later belongs to the uploads alone.
bool resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

bool writeRandomFile(const QString& path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator random(seed);
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    for (qint64 written = 0; written < size;) {
        const qint64 n = qMin<qint64>(chunk.size(), size - written);
        random.fillRange(reinterpret_cast<quint32*>(chunk.data()), chunk.size() / 4);
        if (file.write(chunk.constData(), n) != n)
            return false;
        written += n;
    }
    return true;
}

double mib(qint64 kib)
{
    return double(kib) / 1024.0;
}

struct Outcome {
    std::atomic_int finished = 0;
    std::atomic_int succeeded = 0;
    QStringList errors; // written on the relay thread before `finished` moves
};

QCoro::Task<> uploadOne(AttachmentUploader* uploader, MessageAttachment attachment, Outcome* outcome)
{
    const UploadResult result = co_await uploader->uploadAttachment(attachment, QStringLiteral("bench"));
    if (result.success)
        ++outcome->succeeded;
    else
        outcome->errors.append(result.error.value_or(QString()));
    ++outcome->finished;
}

// The way the first design sent files, for comparison: each file read whole into memory and
// posted as one body, all at once. Returns how many the server answered with 200.
int uploadFromMemory(const QList<MessageAttachment>& attachments, const RelayServerHarness& server, const QString& key)
{
    QNetworkAccessManager network;
    int pending = int(attachments.size());
    int succeeded = 0;
    for (const MessageAttachment& attachment : attachments) {
        QFile file(attachment.filename);
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray boundary = QByteArrayLiteral("BENCH-BOUNDARY");
        const QByteArray body = AttachmentUploadBody::head(boundary, attachment.transferName, attachment.mimeType)
                                + file.readAll() + AttachmentUploadBody::tail(boundary, QStringLiteral("bench"));
        QNetworkRequest request(QUrl(server.httpBase().toString() + QStringLiteral("/api/v1/relay/attachments/upload")));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("multipart/form-data; boundary=" + boundary));
        request.setRawHeader("X-API-Key", key.toUtf8());
        QNetworkReply* reply = network.post(request, body);
        QObject::connect(reply, &QNetworkReply::finished, reply, [reply, &pending, &succeeded] {
            succeeded += reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 ? 1 : 0;
            --pending;
            reply->deleteLater();
        });
    }
    while (pending > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return succeeded;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Peak memory while uploading attachments at once"));
    parser.addHelpOption();
    const QCommandLineOption filesOption(QStringLiteral("files"), QStringLiteral("Uploads at once (5)."),
                                         QStringLiteral("N"), QStringLiteral("5"));
    const QCommandLineOption sizeOption(QStringLiteral("size"), QStringLiteral("Bytes per file (104857600)."),
                                        QStringLiteral("BYTES"), QStringLiteral("104857600"));
    const QCommandLineOption inMemoryOption(
        QStringLiteral("in-memory-baseline"),
        QStringLiteral("Afterwards, send the same files read whole into memory, to show what streaming saves."));
    parser.addOptions({filesOption, sizeOption, inMemoryOption});
    parser.process(app);
    const int files = parser.value(filesOption).toInt();
    const qint64 size = parser.value(sizeOption).toLongLong();
    if (files <= 0 || size <= 0)
        parser.showHelp(1);

    QTemporaryDir dir;
    std::printf("writing %d files of %lld bytes under %s\n", files, size, qPrintable(dir.path()));
    QList<MessageAttachment> attachments;
    for (int i = 0; i < files; ++i) {
        MessageAttachment attachment;
        attachment.filename = dir.filePath(QStringLiteral("movie-%1.mov").arg(i));
        attachment.transferName = QStringLiteral("movie-%1.mov").arg(i);
        attachment.mimeType = QStringLiteral("video/quicktime");
        attachment.totalBytes = quint64(size);
        if (!writeRandomFile(attachment.filename, size, quint32(i + 1))) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(attachment.filename));
            return 1;
        }
        attachments.append(attachment);
    }

    RelayServerHarness server;
    const QString key = QStringLiteral("bench-key");
    if (!server.start({QStringLiteral("--api-key"), key, QStringLiteral("--max-events"), QStringLiteral("1000")})) {
        std::fprintf(stderr, "server: %s\n", qPrintable(server.errorString()));
        return 1;
    }

    // The uploader where the relay keeps it: on a thread of its own.
    QThread relayThread;
    relayThread.setObjectName(QStringLiteral("relay"));
    auto* uploader = new AttachmentUploader;
    uploader->initialize(server.wsUrl().toString(), key);
    uploader->moveToThread(&relayThread);
    relayThread.start();

    QThread::msleep(200);
    const Memory idle = readMemory();
    const bool peakReset = resetPeak();
    qint64 sampledPeakKiB = idle.rssKiB;
    QTimer sampler;
    sampler.setInterval(5);
    QObject::connect(&sampler, &QTimer::timeout, &app, [&sampledPeakKiB] {
        sampledPeakKiB = qMax(sampledPeakKiB, readMemory().rssKiB);
    });
    sampler.start();

    const qint64 since = server.lastSeq();
    Outcome outcome;
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(uploader, [uploader, attachments, &outcome] {
        for (const MessageAttachment& attachment : attachments)
            startTask(uploadOne(uploader, attachment, &outcome), "bench upload");
    });
    while (outcome.finished.load() < files)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const qint64 elapsedMs = clock.elapsed();
    sampler.stop();
    const Memory after = readMemory();
    const qint64 peakKiB = qMax(sampledPeakKiB, peakReset ? after.peakKiB : 0);

    QMetaObject::invokeMethod(uploader, [uploader] { delete uploader; }, Qt::BlockingQueuedConnection);
    relayThread.quit();
    relayThread.wait();

    // What the server received, to be sure every byte went over.
    qint64 storedBytes = 0;
    int stored = 0;
    for (const QJsonObject& event : server.events(since)) {
        if (event.value(QStringLiteral("type")).toString() == QLatin1String("UPLOAD")) {
            ++stored;
            storedBytes += event.value(QStringLiteral("size")).toInteger();
        }
    }

    std::printf("uploads: %d at once, %d succeeded, server stored %d files, %lld bytes (expected %lld)\n", files,
                outcome.succeeded.load(), stored, storedBytes, size * files);
    for (const QString& error : outcome.errors)
        std::printf("  failed: %s\n", qPrintable(error));
    std::printf("time: %.2f s, %.1f MiB/s in total\n", double(elapsedMs) / 1000.0,
                double(size * files) / 1048576.0 / (double(elapsedMs) / 1000.0));
    std::printf("idle RSS: %.1f MiB\n", mib(idle.rssKiB));
    std::printf("peak RSS while uploading: %.1f MiB (%s)\n", mib(peakKiB),
                peakReset ? "kernel high-water mark and 5 ms samples" : "5 ms samples only");
    std::printf("peak above idle: %.1f MiB (target: under 64 MiB; one file alone is %.1f MiB)\n",
                mib(peakKiB - idle.rssKiB), double(size) / 1048576.0);

    if (parser.isSet(inMemoryOption)) {
        const Memory before = readMemory();
        resetPeak();
        const int sent = uploadFromMemory(attachments, server, key);
        const Memory whole = readMemory();
        std::printf("baseline, files read whole into memory: %d/%d succeeded, peak %.1f MiB, %.1f MiB above idle\n",
                    sent, files, mib(whole.peakKiB), mib(whole.peakKiB - before.rssKiB));
    }
    server.stop();
    return outcome.succeeded.load() == files && stored == files && storedBytes == size * files ? 0 : 1;
}
