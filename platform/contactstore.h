#pragma once

#include "result.h"
#include "storedcontact.h"

#include <QList>
#include <QString>

#include <optional>

namespace velto {

// The states an application's access to the address book can be in. On this platform the
// user decides through the folder's permission bits, so "not determined" and "restricted" do
// not occur; they are here for the platforms where they do.
enum class ContactAuthorizationStatus { notDetermined, restricted, denied, authorized };

class ContactStoreError {
public:
    enum class Kind { accessDenied, notAFolder, readFailed, tooLarge };

    static ContactStoreError accessDenied() { return ContactStoreError(Kind::accessDenied, {}); }
    static ContactStoreError notAFolder(const QString& path) { return ContactStoreError(Kind::notAFolder, path); }
    // `detail` names the file and the system's reason.
    static ContactStoreError readFailed(const QString& detail) { return ContactStoreError(Kind::readFailed, detail); }
    static ContactStoreError tooLarge(const QString& detail) { return ContactStoreError(Kind::tooLarge, detail); }

    Kind kind() const { return m_kind; }
    QString description() const;

private:
    ContactStoreError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}

    Kind m_kind;
    QString m_detail;
};

// The address book: a folder of vCard files (VELTO_CONTACTS_DIR, else
// HOME/.local/share/contacts), read with its immediate subfolders (one per address book, the
// way vdir-style synchronisers lay them out). Access is granted when the folder's permission
// bits let this user read it; a folder that does not exist is an empty address book.
// Holds no state beyond its path: any thread may use its own copy.
class ContactStore {
public:
    struct AccessAnswer {
        bool granted = false;
        std::optional<QString> error;
    };

    // Bounds on what one enumeration reads; a store over them fails rather than read part of it.
    static constexpr qint64 maxFileBytes = 32 * 1024 * 1024;
    static constexpr qint64 maxTotalBytes = 256 * 1024 * 1024;
    static constexpr int maxFiles = 50000;

    static QString defaultDirectory();

    explicit ContactStore(QString directory = defaultDirectory());

    const QString& directory() const { return m_directory; }

    ContactAuthorizationStatus authorizationStatus() const;
    // Answers at once: the user's decision is the folder's permission bits.
    AccessAnswer requestAccess() const;

    // Every contact, files in name order (subfolders after the folder's own files), cards in
    // file order. A contact whose identifier was seen before is left out, as the address book
    // holds each identifier once. Keys not asked for are left empty and reported unavailable.
    Result<QList<StoredContact>, ContactStoreError> enumerateContacts(ContactKeys keysToFetch) const;

    // The folders enumerateContacts reads (the folder and its subfolders, when they exist) and
    // the vCard files in them, in its order.
    QStringList contactFolders() const;
    QStringList contactFiles() const;

    // The display text of a label: the framework's constants become their English names,
    // a user's own label is shown as it is.
    static QString localizedStringForLabel(const QString& label);

private:
    QString m_directory;
};

} // namespace velto
