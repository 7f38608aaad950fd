#include "codablepermissionsnapshot.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace velto {

namespace {

const QLatin1String fullDiskStateKey("fullDiskState");
const QLatin1String fullDiskDetailKey("fullDiskDetail");
const QLatin1String contactsStateKey("contactsState");
const QLatin1String contactsDetailKey("contactsDetail");
const QLatin1String automationStateKey("automationState");
const QLatin1String automationDetailKey("automationDetail");

void insertIfPresent(QJsonObject& object, QLatin1String key, const std::optional<QString>& value)
{
    if (value)
        object.insert(key, *value);
}

// A missing or null member is none; a member of another type spoils the whole file.
bool readOptional(const QJsonObject& object, QLatin1String key, std::optional<QString>& out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

PermissionDetail detailFrom(const std::optional<QString>& state, const std::optional<QString>& detail,
                            const QDateTime& at)
{
    const std::optional<PermissionState> parsed = state ? permissionStateFromRawValue(*state) : std::nullopt;
    return {parsed.value_or(PermissionState::unknown), detail, at};
}

} // namespace

CodablePermissionSnapshot CodablePermissionSnapshot::from(const PermissionSnapshot& snapshot)
{
    CodablePermissionSnapshot codable;
    codable.fullDiskState = permissionStateRawValue(snapshot.fullDisk.state);
    codable.fullDiskDetail = snapshot.fullDisk.detail;
    codable.contactsState = permissionStateRawValue(snapshot.contacts.state);
    codable.contactsDetail = snapshot.contacts.detail;
    codable.automationState = permissionStateRawValue(snapshot.automation.state);
    codable.automationDetail = snapshot.automation.detail;
    return codable;
}

QByteArray CodablePermissionSnapshot::toJson() const
{
    QJsonObject object;
    object.insert(fullDiskStateKey, fullDiskState);
    insertIfPresent(object, fullDiskDetailKey, fullDiskDetail);
    object.insert(contactsStateKey, contactsState);
    insertIfPresent(object, contactsDetailKey, contactsDetail);
    insertIfPresent(object, automationStateKey, automationState);
    insertIfPresent(object, automationDetailKey, automationDetail);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<CodablePermissionSnapshot> CodablePermissionSnapshot::fromJson(const QByteArray& data)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue fullDisk = object.value(fullDiskStateKey);
    const QJsonValue contacts = object.value(contactsStateKey);
    if (!fullDisk.isString() || !contacts.isString())
        return std::nullopt;
    CodablePermissionSnapshot codable;
    codable.fullDiskState = fullDisk.toString();
    codable.contactsState = contacts.toString();
    if (!readOptional(object, fullDiskDetailKey, codable.fullDiskDetail)
        || !readOptional(object, contactsDetailKey, codable.contactsDetail)
        || !readOptional(object, automationStateKey, codable.automationState)
        || !readOptional(object, automationDetailKey, codable.automationDetail))
        return std::nullopt;
    return codable;
}

PermissionSnapshot CodablePermissionSnapshot::toSnapshot(const QDateTime& loadedAt) const
{
    return {detailFrom(fullDiskState, fullDiskDetail, loadedAt), detailFrom(contactsState, contactsDetail, loadedAt),
            detailFrom(automationState, automationDetail, loadedAt)};
}

} // namespace velto
