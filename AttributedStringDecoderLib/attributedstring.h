#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace velto {

// One run of an attributed string: `length` UTF-16 units sharing one attribute dictionary.
// Attribute values are plain Qt values: QString, qlonglong/double, QByteArray, QVariantList,
// QVariantMap; an object of another class is a map holding only its "$class" name.
struct AttributeRun {
    qsizetype length = 0;
    QVariantMap attributes;
};

// An unarchived attributed string: its characters and its attribute runs, which cover the
// whole text in order.
struct AttributedString {
    QString text;
    QList<AttributeRun> runs;

    // The attributes at a UTF-16 index; empty outside the text.
    QVariantMap attributesAt(qsizetype index) const;
};

// The root object of an archive as far as the body decoder cares: its class, and the decoded
// attributed string when it is one.
struct ArchiveRoot {
    QString className;
    std::optional<AttributedString> attributedString;
};

} // namespace velto
