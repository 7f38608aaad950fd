#include "contactstore.h"

#include "logger.h"
#include "platform.h"
#include "vcardparser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <sys/stat.h>
#include <unistd.h>

namespace velto {

namespace {

const Logger& log()
{
    static const Logger logger("ContactStore");
    return logger;
}

bool inGroup(gid_t gid)
{
    if (gid == getegid())
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    QList<gid_t> groups(count);
    const int filled = getgroups(count, groups.data());
    return filled > 0 && groups.first(filled).contains(gid);
}

// Whether the folder's permission bits let this user list and read it. The bits are checked
// for the user's own class as well as access(): root may read anything, yet a folder it set to
// mode 000 is a folder it has closed.
bool permitsReading(const QString& path)
{
    struct stat info {};
    const QByteArray native = QFile::encodeName(path);
    if (::stat(native.constData(), &info) != 0)
        return false;
    mode_t needed = S_IROTH | S_IXOTH;
    if (info.st_uid == geteuid())
        needed = S_IRUSR | S_IXUSR;
    else if (inGroup(info.st_gid))
        needed = S_IRGRP | S_IXGRP;
    return (info.st_mode & needed) == needed && ::access(native.constData(), R_OK | X_OK) == 0;
}

bool isContactFile(const QFileInfo& info)
{
    const QString suffix = info.suffix().toLower();
    return info.isFile() && (suffix == QLatin1String("vcf") || suffix == QLatin1String("vcard"));
}

const QDir::Filters visibleEntries = QDir::NoDotAndDotDot | QDir::Readable;

} // namespace

QString ContactStoreError::description() const
{
    switch (m_kind) {
    case Kind::accessDenied:
        return QStringLiteral("Access to the address book was denied");
    case Kind::notAFolder:
        return QStringLiteral("The address book is not a folder: ") + m_detail;
    case Kind::readFailed:
        return QStringLiteral("Could not read ") + m_detail;
    case Kind::tooLarge:
        return QStringLiteral("The address book is too large: ") + m_detail;
    }
    return m_detail;
}

QString ContactStore::defaultDirectory()
{
    const QString configured = qEnvironmentVariable("VELTO_CONTACTS_DIR");
    if (!configured.isEmpty())
        return QDir::cleanPath(configured);
    return QDir(Platform::homeDirectory()).filePath(QStringLiteral(".local/share/contacts"));
}

ContactStore::ContactStore(QString directory)
    : m_directory(QDir::cleanPath(directory))
{
}

ContactAuthorizationStatus ContactStore::authorizationStatus() const
{
    const QFileInfo info(m_directory);
    // An absent folder is an empty address book; a file in its place is reported when read.
    if (!info.exists() || !info.isDir())
        return ContactAuthorizationStatus::authorized;
    return permitsReading(m_directory) ? ContactAuthorizationStatus::authorized : ContactAuthorizationStatus::denied;
}

ContactStore::AccessAnswer ContactStore::requestAccess() const
{
    return {authorizationStatus() == ContactAuthorizationStatus::authorized, std::nullopt};
}

QStringList ContactStore::contactFolders() const
{
    QStringList folders;
    const QFileInfo root(m_directory);
    if (!root.isDir())
        return folders;
    folders.append(m_directory);
    const QDir dir(m_directory);
    // Symbolic links to folders are not followed: a link back up would otherwise be read twice.
    for (const QFileInfo& entry : dir.entryInfoList(QDir::Dirs | QDir::NoSymLinks | visibleEntries, QDir::Name))
        folders.append(entry.filePath());
    return folders;
}

QStringList ContactStore::contactFiles() const
{
    QStringList files;
    for (const QString& folder : contactFolders()) {
        const QDir dir(folder);
        for (const QFileInfo& entry : dir.entryInfoList(QDir::Files | visibleEntries, QDir::Name)) {
            if (isContactFile(entry))
                files.append(entry.filePath());
        }
    }
    return files;
}

Result<QList<StoredContact>, ContactStoreError> ContactStore::enumerateContacts(ContactKeys keysToFetch) const
{
    if (authorizationStatus() != ContactAuthorizationStatus::authorized)
        return fail(ContactStoreError::accessDenied());
    const QFileInfo root(m_directory);
    if (!root.exists())
        return QList<StoredContact>();
    if (!root.isDir())
        return fail(ContactStoreError::notAFolder(m_directory));

    const QStringList files = contactFiles();
    if (files.size() > maxFiles)
        return fail(ContactStoreError::tooLarge(QStringLiteral("%1 files").arg(files.size())));

    QList<StoredContact> contacts;
    QSet<QString> identifiers;
    qint64 totalBytes = 0;
    for (const QString& path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(ContactStoreError::readFailed(path + QStringLiteral(": ") + file.errorString()));
        // Read one byte past the limit rather than trust the size: the file may be growing.
        const QByteArray data = file.read(maxFileBytes + 1);
        if (file.error() != QFileDevice::NoError)
            return fail(ContactStoreError::readFailed(path + QStringLiteral(": ") + file.errorString()));
        if (data.size() > maxFileBytes)
            return fail(ContactStoreError::tooLarge(path + QStringLiteral(" is over %1 MiB").arg(maxFileBytes >> 20)));
        totalBytes += data.size();
        if (totalBytes > maxTotalBytes)
            return fail(ContactStoreError::tooLarge(QStringLiteral("over %1 MiB of vCard files").arg(maxTotalBytes >> 20)));

        VCardParser::Document document = VCardParser::parse(data, path);
        if (document.skippedCards > 0 || document.malformedLines > 0)
            log().info(QStringLiteral("%1: %2 card(s) skipped, %3 malformed line(s) ignored")
                           .arg(Logger::priv(path))
                           .arg(document.skippedCards)
                           .arg(document.malformedLines));
        for (StoredContact& contact : document.contacts) {
            if (identifiers.contains(contact.identifier))
                continue;
            identifiers.insert(contact.identifier);
            if (keysToFetch != allContactKeys) {
                const auto keep = [keysToFetch](ContactKey key) { return keysToFetch.testFlag(key); };
                if (!keep(ContactKey::identifier))
                    contact.identifier.clear();
                if (!keep(ContactKey::givenName))
                    contact.givenName.clear();
                if (!keep(ContactKey::middleName))
                    contact.middleName.clear();
                if (!keep(ContactKey::familyName))
                    contact.familyName.clear();
                if (!keep(ContactKey::nickname))
                    contact.nickname.clear();
                if (!keep(ContactKey::organizationName))
                    contact.organizationName.clear();
                if (!keep(ContactKey::jobTitle))
                    contact.jobTitle.clear();
                if (!keep(ContactKey::phoneNumbers))
                    contact.phoneNumbers.clear();
                if (!keep(ContactKey::emailAddresses))
                    contact.emailAddresses.clear();
                if (!keep(ContactKey::urlAddresses))
                    contact.urlAddresses.clear();
                if (!keep(ContactKey::note))
                    contact.note.clear();
                if (!keep(ContactKey::imageData))
                    contact.imageData.clear();
            }
            contact.fetchedKeys = keysToFetch;
            contacts.append(std::move(contact));
        }
    }
    return contacts;
}

QString ContactStore::localizedStringForLabel(const QString& label)
{
    static const QHash<QString, QString> names = {
        {QStringLiteral("_$!<Home>!$_"), QStringLiteral("home")},
        {QStringLiteral("_$!<Work>!$_"), QStringLiteral("work")},
        {QStringLiteral("_$!<School>!$_"), QStringLiteral("school")},
        {QStringLiteral("_$!<Other>!$_"), QStringLiteral("other")},
        {QStringLiteral("_$!<Mobile>!$_"), QStringLiteral("mobile")},
        {QStringLiteral("_$!<Main>!$_"), QStringLiteral("main")},
        {QStringLiteral("_$!<Pager>!$_"), QStringLiteral("pager")},
        {QStringLiteral("_$!<HomeFAX>!$_"), QStringLiteral("home fax")},
        {QStringLiteral("_$!<WorkFAX>!$_"), QStringLiteral("work fax")},
        {QStringLiteral("_$!<OtherFAX>!$_"), QStringLiteral("other fax")},
        {QStringLiteral("_$!<HomePage>!$_"), QStringLiteral("homepage")},
    };
    if (const auto known = names.constFind(label); known != names.constEnd())
        return *known;
    // Another framework constant: its inner word, as the framework would show an unknown one.
    if (label.startsWith(QLatin1String("_$!<")) && label.endsWith(QLatin1String(">!$_")) && label.size() > 8)
        return label.mid(4, label.size() - 8).toLower();
    return label;
}

} // namespace velto
