#include "updater.h"

#include "infodictionary.h"
#include "logger.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QVersionNumber>
#include <QXmlStreamReader>

#include <optional>

namespace velto {

namespace {

const Logger& logger()
{
    static const Logger instance("Updater");
    return instance;
}

UpdateCheckResult failure(const QString& error)
{
    UpdateCheckResult result;
    result.outcome = UpdateCheckResult::Outcome::failed;
    result.error = error;
    return result;
}

struct AppcastItem {
    QString version;
    QString link;
    QString enclosureUrl;
};

} // namespace

QUrl Updater::defaultFeedUrl()
{
    const QVariant value = InfoDictionary::value(QStringLiteral("APPCAST_URL"));
    return value.isValid() ? QUrl(value.toString()) : QUrl();
}

QString Updater::defaultCurrentVersion()
{
    return InfoDictionary::shortVersion();
}

Updater::Updater(QUrl feedUrl, QString currentVersion, QObject* parent)
    : QObject(parent)
    , m_feedUrl(std::move(feedUrl))
    , m_currentVersion(std::move(currentVersion))
{
    connect(&m_automaticTimer, &QTimer::timeout, this, [this] { checkForUpdates(); });
}

Updater::~Updater()
{
    if (m_reply)
        m_reply->abort();
}

bool Updater::hasUsableFeed() const
{
    const QString scheme = m_feedUrl.scheme();
    return m_feedUrl.isValid() && !m_feedUrl.host().isEmpty()
           && (scheme == QLatin1String("https") || scheme == QLatin1String("http"));
}

void Updater::start(std::chrono::milliseconds automaticCheckInterval)
{
    if (m_started)
        return;
    m_started = true;
    if (!hasUsableFeed()) {
        if (!m_feedUrl.isEmpty())
            logger().error(QStringLiteral("Update feed is not an http(s) address: ") + m_feedUrl.toString());
        else
            logger().info(QStringLiteral("No update feed configured; update checks are off"));
        return;
    }
    if (automaticCheckInterval.count() > 0) {
        m_automaticTimer.setInterval(automaticCheckInterval);
        m_automaticTimer.start();
    }
    updateCanCheck();
}

void Updater::updateCanCheck()
{
    const bool canCheck = m_started && hasUsableFeed() && !m_reply;
    if (canCheck == m_canCheck)
        return;
    m_canCheck = canCheck;
    Q_EMIT canCheckForUpdatesChanged(canCheck);
}

bool Updater::checkForUpdates()
{
    if (!m_canCheck)
        return false;
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    QNetworkRequest request(m_feedUrl);
    request.setTransferTimeout(int(m_requestTimeout.count()));
    request.setHeader(QNetworkRequest::UserAgentHeader, QString(QStringLiteral("Velto/") + m_currentVersion));
    m_reply = m_network->get(request);
    QNetworkReply* reply = m_reply;
    // A feed is a few kilobytes; anything far larger is not one and is not held in memory.
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
        if (received > maxFeedBytes || total > maxFeedBytes) {
            reply->setProperty("veltoTooLarge", true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, &Updater::onReplyFinished);
    updateCanCheck();
    return true;
}

void Updater::onReplyFinished()
{
    QNetworkReply* reply = m_reply;
    if (!reply)
        return;
    reply->deleteLater();
    m_reply = nullptr;

    UpdateCheckResult result;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->property("veltoTooLarge").toBool()) {
        result = failure(QStringLiteral("The update feed is larger than %1 KiB").arg(maxFeedBytes / 1024));
    } else if (reply->error() != QNetworkReply::NoError && status == 0) {
        result = failure(QStringLiteral("Could not reach the update feed: ") + reply->errorString());
    } else if (status != 200) {
        result = failure(QStringLiteral("The update feed answered HTTP %1").arg(status));
    } else {
        result = evaluateAppcast(reply->readAll(), m_currentVersion);
        // Addresses in the feed may be relative to it.
        if (!result.downloadUrl.isEmpty())
            result.downloadUrl = m_feedUrl.resolved(result.downloadUrl);
        if (!result.releaseNotesUrl.isEmpty())
            result.releaseNotesUrl = m_feedUrl.resolved(result.releaseNotesUrl);
    }

    switch (result.outcome) {
    case UpdateCheckResult::Outcome::upToDate:
        logger().info(QStringLiteral("Up to date (running %1)").arg(m_currentVersion));
        break;
    case UpdateCheckResult::Outcome::updateAvailable:
        logger().info(QStringLiteral("Update available: %1 (running %2) at %3")
                          .arg(result.latestVersion, m_currentVersion, result.downloadUrl.toString()));
        break;
    case UpdateCheckResult::Outcome::failed:
        logger().error(QStringLiteral("Update check failed: ") + result.error);
        break;
    }
    updateCanCheck();
    Q_EMIT checkFinished(result);
}

UpdateCheckResult Updater::evaluateAppcast(const QByteArray& feed, const QString& currentVersion)
{
    const QString ns = QLatin1String(appcastNamespace);
    QXmlStreamReader xml(feed);
    QList<AppcastItem> items;
    std::optional<AppcastItem> item;
    bool sawRoot = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            if (!sawRoot) {
                sawRoot = true;
                if (xml.name() != QLatin1String("rss"))
                    return failure(QStringLiteral("The update feed is not an appcast (its root is <%1>)")
                                       .arg(xml.name().toString()));
                continue;
            }
            const bool plain = xml.namespaceUri().isEmpty();
            if (plain && xml.name() == QLatin1String("item")) {
                item = AppcastItem{};
            } else if (item && plain && xml.name() == QLatin1String("link")) {
                item->link = xml.readElementText().trimmed();
            } else if (item && plain && xml.name() == QLatin1String("enclosure")) {
                item->enclosureUrl = xml.attributes().value(QLatin1String("url")).toString().trimmed();
            } else if (item && xml.namespaceUri() == ns && xml.name() == QLatin1String("version")) {
                item->version = xml.readElementText().trimmed();
            }
        } else if (xml.isEndElement() && item && xml.namespaceUri().isEmpty() && xml.name() == QLatin1String("item")) {
            items.append(*item);
            item.reset();
        }
    }
    if (xml.hasError())
        return failure(QStringLiteral("The update feed is not valid XML: ") + xml.errorString());
    if (!sawRoot)
        return failure(QStringLiteral("The update feed is empty"));

    // The newest release that can be fetched; items without a readable version or a file are
    // not releases.
    const AppcastItem* newest = nullptr;
    QVersionNumber newestVersion;
    for (const AppcastItem& candidate : items) {
        const QVersionNumber version = QVersionNumber::fromString(candidate.version);
        if (version.isNull() || candidate.enclosureUrl.isEmpty())
            continue;
        if (!newest || version > newestVersion) {
            newest = &candidate;
            newestVersion = version;
        }
    }

    UpdateCheckResult result;
    result.outcome = UpdateCheckResult::Outcome::upToDate;
    if (!newest)
        return result;
    result.latestVersion = newest->version;
    if (newestVersion > QVersionNumber::fromString(currentVersion)) {
        result.outcome = UpdateCheckResult::Outcome::updateAvailable;
        result.downloadUrl = QUrl(newest->enclosureUrl);
        result.releaseNotesUrl = QUrl(newest->link);
    }
    return result;
}

} // namespace velto
