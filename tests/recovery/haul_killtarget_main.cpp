// haul-killtarget: a minimal service host that loads the built plugin by path, sends one
// "Start" or "Resume" and waits for the answer, so that a test can kill it mid-transfer.
//
//   haul-killtarget --data DIR --session ID (--start URL FOLDER HASH | --resume) [--timeout MS]
//
// Standard output: "posted" once the request is on the bus, then "reply <type> <code> <text>"
// for the first answer. Exit code 0 after a reply, 2 on a usage or host error, 3 on timeout.
#include "Configuration.h"
#include "DataDirectory.h"
#include "HostLogger.h"
#include "IComponent.h"
#include "LocalMessage.h"
#include "MessageBus.h"
#include "MessageCollector.h"
#include "PluginLoader.h"
#include "StartRequestPayload.h"
#include "StatusReportPayload.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <string>

namespace {

const char* const replyTopic = "client://killtarget/replies";
const char* const requestTopic = "event://Client/Service/Download";

struct Options
{
    std::string data;
    std::string session;
    bool resume = false;
    std::string url;
    std::string folder;
    std::string hash;
    int timeoutMs = 120000;
};

bool parse(const QStringList& args, Options& options)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        const auto next = [&](std::string& out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i].toStdString();
            return true;
        };
        std::string number;
        if (arg == "--data" && next(options.data))
            continue;
        if (arg == "--session" && next(options.session))
            continue;
        if (arg == "--resume") {
            options.resume = true;
            continue;
        }
        if (arg == "--start" && next(options.url) && next(options.folder) && next(options.hash))
            continue;
        if (arg == "--timeout" && next(number)) {
            options.timeoutMs = std::stoi(number);
            continue;
        }
        return false;
    }
    return !options.data.empty() && !options.session.empty() && (options.resume || !options.url.empty());
}

boost::shared_ptr<LocalMessage> makeRequest(const Options& options)
{
    CommonMessageProperties properties;
    properties.messageType = options.resume ? "Resume" : "Start";
    properties.topic = requestTopic;
    properties.replyTopic = replyTopic;
    properties.sessionId = UUId(options.session);
    boost::shared_ptr<LocalMessage> message(new LocalMessage(properties));
    if (!options.resume)
        message->setPayload(boost::shared_ptr<ISerializable>(
            new StartRequestPayload(options.url, "", "", options.folder, false, options.hash)));
    return message;
}

} // namespace

int main(int argc, char** argv)
{
    // As in a real host: the application object exists before the plugin is loaded.
    QCoreApplication app(argc, argv);
    Options options;
    if (!parse(app.arguments(), options)) {
        std::fprintf(stderr, "usage: haul-killtarget --data DIR --session ID (--start URL FOLDER HASH | --resume)\n");
        return 2;
    }
    if (options.data.back() != '/')
        options.data += '/';
    Configuration::instance().set("Directories/DataPath", options.data);
    prepareDataDirectory(options.data);

    MessageCollector replies;
    MessageBus::instance().subscribe(&replies, replyTopic);

    PluginLoader loader;
    std::string error;
    if (!loader.load(HAUL_PLUGIN_PATH, &error)) {
        std::fprintf(stderr, "cannot load %s: %s\n", HAUL_PLUGIN_PATH, error.c_str());
        return 2;
    }
    IComponent* component = loader.create("Haulwright");
    if (component == nullptr) {
        std::fprintf(stderr, "no Haulwright component\n");
        return 2;
    }
    component->start();

    if (MessageBus::instance().post(makeRequest(options)) != 0) {
        std::fprintf(stderr, "post refused\n");
        return 2;
    }
    std::printf("posted\n");
    std::fflush(stdout);

    int status = 3;
    if (replies.waitFor([](const LocalMessage&) { return true; }, options.timeoutMs)) {
        const auto reply = replies.messages().front();
        const auto* report = dynamic_cast<const StatusReportPayload*>(reply->getPayload().get());
        std::printf("reply %s %d %s\n", reply->getMessageType().c_str(), report ? report->getCode() : -1,
                    report ? report->getMessage().c_str() : "");
        std::fflush(stdout);
        status = 0;
    }
    component->stop();
    loader.destroy(component);
    MessageBus::instance().unsubscribe(&replies, "");
    MessageBus::instance().shutdown();
    loader.unload();
    return status;
}
