#pragma once

#include "contactpayload.h"
#include "contactsexporter.h"
#include "contactsyncresult.h"
#include "logger.h"

#include <QJsonObject>
#include <QObject>

#include <QCoroTask>

#include <chrono>
#include <functional>

namespace velto {

// Sends the address book to the server: runs the exporter off the calling thread and hands
// "contacts:sync:status", "contacts:sync:data" (batches of 25) and "contacts:sync:complete"
// events to `sendMessage`. One run at a time; after an export refused for lack of permission
// it refuses every later run for the life of the object.
class ContactsSyncService : public QObject {
    Q_OBJECT
public:
    static constexpr int batchSize = 25;
    static constexpr std::chrono::milliseconds defaultBatchPause{200};

    explicit ContactsSyncService(QObject* parent = nullptr);
    explicit ContactsSyncService(ContactsExporter exporter, std::chrono::milliseconds batchPause = defaultBatchPause,
                                 QObject* parent = nullptr);
    ~ContactsSyncService() override;

    // Called synchronously with every event, on the thread running startSync; events are
    // dropped while it is unset.
    std::function<void(const QJsonObject& event)> sendMessage;

    bool isRunning() const { return m_isRunning; }
    bool permissionDenied() const { return m_permissionDenied; }

    // Never fails: refusals and failures come back as an unsuccessful result.
    QCoro::Task<ContactSyncResult> startSync();

    // The contact object sent for one payload: keys present only where the payload has a value.
    static QJsonObject contactObject(const ContactPayload& payload);

private:
    void emitEvent(const QString& type, const QJsonObject& payload);

    ContactsExporter m_exporter;
    std::chrono::milliseconds m_batchPause;
    Logger m_logger{"ContactsSync"};
    bool m_isRunning = false;
    bool m_permissionDenied = false;
};

} // namespace velto
