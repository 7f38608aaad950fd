#include "simulatedmessages.h"

#include <messagessimulator.h>
#include <readonlydb.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace velto::test {

namespace {
QString logPath(const QString& home)
{
    return QDir(home).filePath(QStringLiteral("osascript-calls.jsonl"));
}
} // namespace

SimulatedMessages::SimulatedMessages(bool conversations)
{
    sim::MessagesSimulator simulator(m_home.path());
    if (auto created = simulator.init(); !created) {
        m_error = created.error().description();
        return;
    }
    if (conversations) {
        sim::FillOptions options;
        options.messages = 40;
        options.chats = 4;
        options.handles = 6;
        options.writeAttachmentFiles = false;
        if (auto filled = simulator.fill(options); !filled) {
            m_error = filled.error().description();
            return;
        }
    }
    simulator.close();
    qputenv("VELTO_OSASCRIPT", QFile::encodeName(binDir() + QStringLiteral("/osascript")));
    qputenv("VELTO_SIM_SEND_DELAY_MS", "40");
    qputenv("VELTO_SIM_OSASCRIPT_LOG", QFile::encodeName(logPath(m_home.path())));
    qunsetenv("VELTO_SIM_REFUSE_AUTOMATION");
}

SimulatedMessages::~SimulatedMessages()
{
    qunsetenv("VELTO_OSASCRIPT");
    qunsetenv("VELTO_SIM_SEND_DELAY_MS");
    qunsetenv("VELTO_SIM_OSASCRIPT_LOG");
}

QString SimulatedMessages::databasePath() const
{
    return sim::MessagesSimulator::databasePath(m_home.path());
}

void SimulatedMessages::refuseAutomation()
{
    QFile flag(QDir(m_home.path()).filePath(QStringLiteral("Library/Messages/sim-refuse-automation")));
    if (!flag.open(QIODevice::WriteOnly))
        qFatal("cannot create the automation refusal flag");
}

QList<QJsonObject> SimulatedMessages::calls() const
{
    QList<QJsonObject> calls;
    QFile file(logPath(m_home.path()));
    if (!file.open(QIODevice::ReadOnly))
        return calls;
    while (!file.atEnd()) {
        const QJsonObject entry = QJsonDocument::fromJson(file.readLine().trimmed()).object();
        if (entry.contains(QLatin1String("outcome")))
            calls.append(entry);
    }
    return calls;
}

qint64 SimulatedMessages::count(const QString& table) const
{
    ReadOnlyDb db(databasePath());
    const QVariant value = db.value(QStringLiteral("SELECT COUNT(*) FROM ") + table);
    return value.isValid() ? value.toLongLong() : -1;
}

} // namespace velto::test
