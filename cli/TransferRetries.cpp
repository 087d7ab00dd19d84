// TransferRunner's retries: a failure a retry may mend is held back until the owner's "ended"
// event brings the HTTP status and the server's Retry-After, then sent again as "Resume".
#include "TransferRunner.h"

#include "OwnerConnection.h"
#include "ProgressView.h"

#include <QTimer>
#include <QUrl>
#include <cmath>
#include <string>

void TransferRunner::setRetries(int retries)
{
    retry = RetryPolicy(retries);
}

bool TransferRunner::holdFailure(Running& run, const ClientEvent& event)
{
    if (run.settled || interruptedBy || event.type != "WasFailed" || !RetryPolicy::mayRetry(event.code) ||
        run.attempts >= retry.retries())
        return false;
    run.failure = event;
    run.held = true;
    return true;
}

bool TransferRunner::retryLater(const std::string& id, const QJsonObject& ended)
{
    Running& run = running[id];
    if (!run.held)
        return false;
    run.held = false;
    const std::string reason = RetryPolicy::reason(ended);
    if (interruptedBy || reason.empty() || ended.value("state").toString() != "failed") {
        // The failure stands: reported as any other.
        run.settled = true;
        onStatus(run.failure);
        return false;
    }
    ++run.attempts;
    run.job.offset = static_cast<std::uint64_t>(ended.value("partialBytes").toDouble());
    const int delay = retry.delayMs(run.attempts, ended.value("retryAfter").toInt(-1));
    // The row stays, saying why it waits; the view keeps it off quiet and JSON output.
    view.setState(id, "retrying in " + std::to_string(std::lround(delay / 1000.0)) + "s (" +
                          std::to_string(run.attempts) + "/" + std::to_string(retry.retries()) + "): " + reason);
    QTimer* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, id] { retryNow(id); });
    timer->start(delay);
    run.wait = timer;
    return true;
}

void TransferRunner::retryNow(const std::string& id)
{
    const auto found = running.find(id);
    if (found == running.end() || !found->second.wait)
        return;
    Running& run = found->second;
    run.wait->deleteLater();
    run.wait = nullptr;
    // Through the owner, so the partial file stays and the next request asks for the rest.
    const ServiceClient::Answer answer =
        owner.post("/v1/downloads/" + QUrl::toPercentEncoding(QString::fromStdString(id)).toStdString() + "/resume");
    if (answer.status == 202)
        return;
    run.settled = true;
    onStatus(run.failure);
    reportFailure(id, run, QJsonObject());
    running.erase(id);
    finishIfDone();
}

void TransferRunner::endWaits()
{
    for (auto it = running.begin(); it != running.end();) {
        Running& run = it->second;
        if (!run.wait) {
            ++it;
            continue;
        }
        delete run.wait;
        view.remove(it->first);
        // Nothing runs: the record and what arrived stay, as for a pause.
        stopped.push_back(Stopped{run.job, "paused", run.job.offset});
        it = running.erase(it);
    }
}
