#include "AbortCommand.h"

#include "BusClient.h"
#include "ProgressView.h"

#include <QEventLoop>
#include <QTimer>
#include <set>

namespace {

// The component answers an abort of a download that is not running at once.
const int answerTimeoutMs = 30000;

} // namespace

AbortCommand::AbortCommand(BusClient& client, ProgressView& view) : client(client), view(view) {}

int AbortCommand::run(const std::vector<std::string>& ids)
{
    std::set<std::string> waiting(ids.begin(), ids.end());
    int failures = 0;
    QEventLoop loop;
    QObject::connect(&client, &BusClient::statusReceived, &loop, [&](const ClientEvent& event) {
        if (!waiting.erase(event.session))
            return;
        if (event.type == "WasAborted") {
            view.result("aborted: " + event.session);
        } else {
            ++failures;
            view.result("failed: " + event.session + ": " + event.text + " (code " + std::to_string(event.code) +
                        ") [" + event.type + "]");
        }
        if (waiting.empty())
            loop.quit();
    });
    QTimer::singleShot(answerTimeoutMs, &loop, &QEventLoop::quit);
    for (const std::string& id : std::set<std::string>(ids.begin(), ids.end())) {
        if (!client.send("Abort", id)) {
            waiting.erase(id);
            ++failures;
            view.result("failed: " + id + ": the message bus refused the request");
        }
    }
    if (!waiting.empty())
        loop.exec();
    for (const std::string& id : waiting) {
        ++failures;
        view.result("failed: " + id + ": no answer");
    }
    return failures == 0 ? 0 : 1;
}
