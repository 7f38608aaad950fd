#pragma once

#include <QString>

namespace velto::sim {

// Why a simulator operation failed: a fixed text per kind, followed by the particulars.
struct SimulatorError {
    enum class Kind {
        DatabaseMissing,
        DatabaseExists,
        Database,
        InvalidArgument,
        NotFound,
        Unsupported,
        File,
    };

    Kind kind;
    QString detail;

    QString description() const;
};

} // namespace velto::sim
