#pragma once

#include "filloptions.h"
#include "result.h"
#include "simulatorerror.h"

#include <QString>

namespace velto::sim {

class MessageWriter;

// Writes a deterministic set of handles, chats and conversations through a MessageWriter.
// The caller owns the transaction; files go under the home's attachment folder.
class ConversationFiller {
public:
    ConversationFiller(MessageWriter &writer, QString home, FillOptions options);

    Result<FillSummary, SimulatorError> run();

private:
    MessageWriter &m_writer;
    QString m_home;
    FillOptions m_options;
};

} // namespace velto::sim
