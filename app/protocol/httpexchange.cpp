#include "httpexchange.h"

#include <QFuture>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPromise>

#include <QCoroFuture>

#include <memory>

namespace velto {

HttpReplyOutcome HttpReplyOutcome::of(QNetworkReply* reply)
{
    HttpReplyOutcome outcome;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        outcome.status = status.toInt();
        outcome.body = reply->readAll();
    }
    outcome.error = reply->error();
    outcome.errorString = reply->errorString();
    return outcome;
}

HttpExchange::HttpExchange(QObject* parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
{
}

HttpExchange::~HttpExchange()
{
    // abort() finishes each reply at once; the manager would otherwise delete them silently.
    const QList<QPointer<QNetworkReply>> inFlight = m_inFlight;
    for (const QPointer<QNetworkReply>& reply : inFlight) {
        if (reply)
            reply->abort();
    }
}

QCoro::Task<HttpReplyOutcome> HttpExchange::finish(QNetworkReply* reply)
{
    m_inFlight.append(reply);
    auto promise = std::make_shared<QPromise<HttpReplyOutcome>>();
    QFuture<HttpReplyOutcome> finished = promise->future();
    promise->start();
    connect(reply, &QNetworkReply::finished, reply, [promise, reply] {
        promise->addResult(HttpReplyOutcome::of(reply));
        promise->finish();
        reply->deleteLater();
    });
    const QPointer<HttpExchange> self(this);
    const HttpReplyOutcome outcome = co_await finished;
    if (self)
        m_inFlight.removeIf([reply](const QPointer<QNetworkReply>& p) { return p.isNull() || p == reply; });
    co_return outcome;
}

} // namespace velto
