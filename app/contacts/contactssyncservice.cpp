#include "contactssyncservice.h"

#include "envelope.h"
#include "task.h"

#include <QJsonArray>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoroFuture>
#include <QCoroTimer>

namespace velto {

ContactsSyncService::ContactsSyncService(QObject* parent)
    : ContactsSyncService(ContactsExporter(), defaultBatchPause, parent)
{
}

ContactsSyncService::ContactsSyncService(ContactsExporter exporter, std::chrono::milliseconds batchPause,
                                         QObject* parent)
    : QObject(parent)
    , m_exporter(std::move(exporter))
    , m_batchPause(batchPause)
{
}

ContactsSyncService::~ContactsSyncService() = default;

QJsonObject ContactsSyncService::contactObject(const ContactPayload& payload)
{
    QJsonObject object{{QStringLiteral("name"), payload.name}};
    if (payload.apple_contact_id)
        object.insert(QStringLiteral("apple_contact_id"), *payload.apple_contact_id);
    if (payload.organization)
        object.insert(QStringLiteral("organization"), *payload.organization);
    if (payload.job_title)
        object.insert(QStringLiteral("job_title"), *payload.job_title);
    if (payload.phone_numbers)
        object.insert(QStringLiteral("phone_numbers"), QJsonArray::fromStringList(*payload.phone_numbers));
    if (payload.email_addresses)
        object.insert(QStringLiteral("email_addresses"), QJsonArray::fromStringList(*payload.email_addresses));
    if (payload.notes)
        object.insert(QStringLiteral("notes"), *payload.notes);
    if (payload.urls) {
        QJsonArray urls;
        for (const ContactURL& url : *payload.urls)
            urls.append(QJsonObject{{QStringLiteral("label"), url.label}, {QStringLiteral("value"), url.value}});
        object.insert(QStringLiteral("urls"), urls);
    }
    return object;
}

void ContactsSyncService::emitEvent(const QString& type, const QJsonObject& payload)
{
    if (!sendMessage)
        return;
    sendMessage(QJsonObject{{QStringLiteral("type"), type},
                            {QStringLiteral("timestamp"), Envelope::nowMilliseconds()},
                            {QStringLiteral("payload"), payload}});
}

QCoro::Task<ContactSyncResult> ContactsSyncService::startSync()
{
    if (m_isRunning)
        co_return ContactSyncResult{false, QStringLiteral("Contacts sync already running")};
    if (m_permissionDenied)
        co_return ContactSyncResult{false, QStringLiteral("Contacts access denied. Grant in System Settings.")};

    m_isRunning = true;
    emitEvent(QStringLiteral("contacts:sync:status"), {{QStringLiteral("phase"), QStringLiteral("preparing")}});
    m_logger.info(QStringLiteral("Fetching contacts from macOS Contacts app..."));

    // The exporter blocks while it reads: a copy of it runs on the pool, so that nothing here
    // is touched from there, and the object may go away meanwhile.
    const Guard<ContactsSyncService> guard(this);
    auto future = QtConcurrent::run([exporter = m_exporter]() -> Result<QList<QJsonObject>, QString> {
        auto exported = exporter.exportContacts();
        if (!exported)
            return fail(exported.error().description());
        QList<QJsonObject> objects;
        objects.reserve(exported->size());
        for (const ContactPayload& payload : std::as_const(*exported))
            objects.append(contactObject(payload));
        return objects;
    });
    auto objects = co_await future;
    if (!guard.alive())
        co_return ContactSyncResult{false, QStringLiteral("Contacts sync cancelled")};

    if (!objects) {
        const QString description = objects.error();
        if (description.toLower().contains(QLatin1String("permission")))
            m_permissionDenied = true;
        m_logger.error(QStringLiteral("Contacts sync failed: %1").arg(description));
        emitEvent(QStringLiteral("contacts:sync:complete"),
                  {{QStringLiteral("success"), false}, {QStringLiteral("message"), description}});
        m_isRunning = false;
        co_return ContactSyncResult{false, description};
    }

    const qsizetype count = objects->size();
    m_logger.info(QStringLiteral("Retrieved %1 contacts").arg(count));
    if (count == 0) {
        emitEvent(QStringLiteral("contacts:sync:complete"),
                  {{QStringLiteral("success"), true}, {QStringLiteral("message"), QStringLiteral("No contacts found")}});
        m_isRunning = false;
        co_return ContactSyncResult{true, QStringLiteral("No contacts found")};
    }

    const qsizetype batches = (count + batchSize - 1) / batchSize;
    emitEvent(QStringLiteral("contacts:sync:status"),
              {{QStringLiteral("phase"), QStringLiteral("fetched")},
               {QStringLiteral("totalContacts"), count},
               {QStringLiteral("totalBatches"), batches}});
    m_logger.info(QStringLiteral("Sending %1 contacts in %2 batches").arg(count).arg(batches));

    for (qsizetype batch = 1; batch <= batches; ++batch) {
        QJsonArray contacts;
        const qsizetype first = (batch - 1) * batchSize;
        for (qsizetype i = first; i < std::min(count, first + batchSize); ++i)
            contacts.append((*objects)[i]);
        emitEvent(QStringLiteral("contacts:sync:data"),
                  {{QStringLiteral("batch"), batch},
                   {QStringLiteral("totalBatches"), batches},
                   {QStringLiteral("contacts"), contacts}});
        if (batch < batches) {
            co_await QCoro::sleepFor(m_batchPause);
            if (!guard.alive())
                co_return ContactSyncResult{false, QStringLiteral("Contacts sync cancelled")};
        }
    }

    emitEvent(QStringLiteral("contacts:sync:complete"),
              {{QStringLiteral("success"), true},
               {QStringLiteral("message"), QStringLiteral("Synced %1 contacts").arg(count)},
               {QStringLiteral("contactsProcessed"), count},
               {QStringLiteral("contactsImported"), count}});
    m_isRunning = false;
    co_return ContactSyncResult{true, QStringLiteral("Contacts synced successfully")};
}

} // namespace velto
