#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace velto {

// What decodeAttributedBody returns; toJson() leaves absent members out.
struct DecoderOutput {
    struct Metadata {
        bool hasAttributes = false; // the attributes at character index 0 are not empty
        std::optional<QString> attributes;

        QJsonObject toJson() const;
    };

    bool success = false;
    std::optional<QString> plainText;
    std::optional<Metadata> metadata;
    std::optional<QString> error;

    QJsonObject toJson() const;
};

} // namespace velto
