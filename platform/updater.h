#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>

class QNetworkAccessManager;
class QNetworkReply;

namespace velto {

// What one update check found.
struct UpdateCheckResult {
    enum class Outcome { upToDate, updateAvailable, failed };
    Outcome outcome = Outcome::failed;
    QString latestVersion;  // the newest version the feed lists (empty when it lists none)
    QUrl downloadUrl;       // updateAvailable: the newest release's file
    QUrl releaseNotesUrl;   // updateAvailable: the item's link, when it has one
    QString error;          // failed: what went wrong, for the user
};

// The software-update facility: checks an appcast (an RSS 2.0 feed with one item per release)
// for a release newer than the running one. Each item carries its version in a
// <velto:version> element (namespace appcastNamespace) and its file in <enclosure url="…">.
//
// A check is possible only once started and only when a feed is configured: the feed URL comes
// from the information dictionary's "APPCAST_URL", and an empty one leaves checking off for good.
// While a check runs no other can start. Automatic checks repeat at the interval given to
// start(). Lives on the thread that created it (the main thread).
//
// Installing a found release is not done here: the outcome names the file to fetch.
class Updater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    static constexpr const char* appcastNamespace = "https://velto.invalid/xmlns/appcast";
    static constexpr std::chrono::milliseconds defaultCheckInterval = std::chrono::hours(24);
    static constexpr std::chrono::milliseconds defaultRequestTimeout = std::chrono::seconds(30);
    static constexpr qint64 maxFeedBytes = 1024 * 1024;

    // The information dictionary's feed; empty when none is compiled in.
    static QUrl defaultFeedUrl();

    explicit Updater(QUrl feedUrl = defaultFeedUrl(), QString currentVersion = defaultCurrentVersion(),
                     QObject* parent = nullptr);
    ~Updater() override;

    const QUrl& feedUrl() const { return m_feedUrl; }
    const QString& currentVersion() const { return m_currentVersion; }
    // An http or https address with a host.
    bool hasUsableFeed() const;

    // Turns checking on and schedules automatic checks (none with an interval of zero).
    void start(std::chrono::milliseconds automaticCheckInterval = defaultCheckInterval);
    bool isStarted() const { return m_started; }

    bool canCheckForUpdates() const { return m_canCheck; }
    // Starts a check now; false (and nothing happens) when no check is possible.
    bool checkForUpdates();

    void setRequestTimeout(std::chrono::milliseconds timeout) { m_requestTimeout = timeout; }

    // The verdict on a feed's bytes for the running version.
    static UpdateCheckResult evaluateAppcast(const QByteArray& feed, const QString& currentVersion);

Q_SIGNALS:
    void canCheckForUpdatesChanged(bool canCheck);
    void checkFinished(const velto::UpdateCheckResult& result);

private:
    static QString defaultCurrentVersion();
    void updateCanCheck();
    void onReplyFinished();

    QUrl m_feedUrl;
    QString m_currentVersion;
    bool m_started = false;
    bool m_canCheck = false;
    std::chrono::milliseconds m_requestTimeout = defaultRequestTimeout;
    QNetworkAccessManager* m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    QTimer m_automaticTimer;
};

} // namespace velto

Q_DECLARE_METATYPE(velto::UpdateCheckResult)
