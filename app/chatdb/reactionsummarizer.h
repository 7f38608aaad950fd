#pragma once

#include "reactionsummary.h"

#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

namespace velto::ReactionSummarizer {

// One tapback row of a message, already classified.
struct ReactionRecord {
    QString sender; // the reactor's handle, empty when unknown
    bool isFromMe = false;
    QString emoji; // the kind's name
    QString displayEmoji;
    bool isAdd = true; // false: the row takes the reaction back
};

// The (name, display) pair of a fixed tapback: code 2000–2005 after folding removals
// (3000–3005) onto their adds; nothing for any other code.
struct FixedKind {
    QString name;
    QString display;
};
std::optional<FixedKind> fixedKind(int baseCode);

// The reactions still standing after replaying the records in order: one summary per display
// with at least one reactor. Summaries come in the order their display first appeared and
// senders in the order they reacted; the local user is written "me".
QList<ReactionSummary> summarize(const QList<ReactionRecord>& records);

// The emoji of a custom tapback from its description: what stands between "Reacted " and the
// next " to ", else the first scalar that is shown as an emoji (so not the ASCII digits, '#', '*',
// © or ®), alone. Nothing when neither is there.
std::optional<QString> customEmojiFromText(QStringView source);

} // namespace velto::ReactionSummarizer
