#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace velto::sim {

// osascript's place on a machine without Messages: it runs the relay's send script, and only
// that, against the simulated database. Like Messages, it answers as soon as the send is
// accepted and writes the outgoing rows a moment later, in the background.
//
// Set up from the environment (its command line is osascript's):
//   VELTO_HOME                      the home holding Library/Messages/chat.db (required)
//   VELTO_SIM_SEND_DELAY_MS         how long after the call the rows appear (default 250)
//   VELTO_SIM_REFUSE_AUTOMATION=1   refuse, as macOS does when automation of Messages is denied;
//                                   so does a file Library/Messages/sim-refuse-automation in the home
//   VELTO_SIM_OSASCRIPT_LOG         a file that gets one JSON line per call and per applied send
class OsascriptStandIn {
public:
    struct Settings {
        QString home;
        int delayMs = 250;
        bool refuseAutomation = false;
        QString callLog;

        static Settings fromEnvironment();
    };

    explicit OsascriptStandIn(Settings settings);

    // `arguments` as osascript gets them ("-l", "AppleScript", "-", then the script's argv),
    // `script` what came on standard input. Returns the exit status; complaints go to standard
    // error in osascript's manner.
    int run(const QStringList &arguments, const QByteArray &script);

    // The one script the stand-in runs, byte for byte.
    static QByteArray sendScript();
    static QString refusalFlagPath(const QString &home);

private:
    struct Send;
    int complain(const QJsonObject &call, const QString &text);
    int accept(const QJsonObject &call, const Send &send);
    void apply(const Send &send);
    void log(const QJsonObject &entry) const;

    Settings m_settings;
};

} // namespace velto::sim
