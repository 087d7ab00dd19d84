#include "Haulwright.h"

#include "ConfigKeys.h"
#include "ConfigNumber.h"
#include "MessageDispatcher.h"
#include "RateLimit.h"
#include "SafeText.h"
#include "StatusReportPayload.h"

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/thread_time.hpp>
#include <exception>

const char* const Haulwright::targetTopic = "target://Client/Component/Haulwright";

namespace {
const char* const requestTopic = "event://Client/Service/Download";
// Until start() reads the configured limit.
const std::uint64_t defaultMaxDownloads = std::uint64_t(configDefault("Downloader/MaxDownloads"));
} // namespace

Haulwright::Haulwright()
    : maxDownloads(defaultMaxDownloads), stopping(false), logger(Logger::getDefaultInstance()), configuration(nullptr),
      reservations(0)
{
    handlers["Start"] = &Haulwright::handleStart;
    handlers["Resume"] = &Haulwright::handleResume;
    handlers["Abort"] = &Haulwright::handleAbort;
    handlers["Pause"] = &Haulwright::handlePause;
    handlers["Limit"] = &Haulwright::handleLimit;

    try {
        std::string domain;
        ConfigurationManager::getDefaultInstance()->getValue("Identities/DomainID", domain, 0);
        PersistentManager manager;
        requestStore.reset(new KeyValueSchema(manager.initLocal("DownloadRequests", domain, "", "")));
    } catch (const std::exception& e) {
        HAUL_LOG(std::string("HAULWRIGHT: Init schema failed. Reason: ") + e.what());
    }
}

Haulwright::~Haulwright()
{
    // Let deliveries still running on other threads leave before the members die.
    MessageDispatcher::getInstance()->unsubscribe(this, std::string());
}

void Haulwright::start()
{
    {
        boost::lock_guard<boost::mutex> lock(registryMutex);
        stopping = false;
    }
    try {
        configuration = ConfigurationManager::getDefaultInstance();
        MessageDispatcher* bus = MessageDispatcher::getInstance();
        if (bus->subscribe(this, requestTopic) != 0)
            HAUL_LOG("The Haulwright can't be subscribed");
        if (bus->subscribe(this, std::string(targetTopic) + "/*") != 0)
            HAUL_LOG("The Haulwright can't be subscribed");

        std::uint64_t limit = defaultMaxDownloads;
        std::string text;
        if (configuration->getValue("Downloader/MaxDownloads", text, 0) == 0)
            limit = maxDownloadsFromText(text, defaultMaxDownloads);
        setMaxDownloads(limit);
        text.clear();
        configuration->getValue("Downloader/MaxRate", text, 0);
        RateLimit::overall().setRate(configNumber<std::int64_t>(text, configDefault("Downloader/MaxRate")));
    } catch (const std::exception& e) {
        HAUL_LOG(" Exception caught.");
        HAUL_LOG(e.what());
    } catch (...) {
        HAUL_LOG(" Unknown exception caught.");
    }
}

void Haulwright::stop()
{
    MessageDispatcher* bus = MessageDispatcher::getInstance();
    bus->unsubscribe(this, requestTopic);
    bus->unsubscribe(this, std::string(targetTopic) + "/*");
    boost::unique_lock<boost::mutex> lock(registryMutex);
    // Transfers registered from now on are paused before their first request (registerDownload).
    stopping = true;
    for (auto& entry : activeDownloads)
        entry.second->pause();
    // Admitted requests not yet registered are waited for too: they still use this object.
    while (!activeDownloads.empty() || reservations != 0)
        registryChanged.wait(lock);
}

void Haulwright::hostOperation3() {}

void Haulwright::hostOperation4() {}

void Haulwright::setMaxDownloads(std::uint64_t value)
{
    boost::lock_guard<boost::mutex> lock(registryMutex);
    maxDownloads = value;
}

std::size_t Haulwright::activeCount()
{
    boost::lock_guard<boost::mutex> lock(registryMutex);
    return activeDownloads.size();
}

std::uint64_t Haulwright::reservationCount()
{
    boost::lock_guard<boost::mutex> lock(registryMutex);
    return reservations;
}

void Haulwright::log(int line, const std::string& text)
{
    // One line each: a server's words must not forge the next line of the log.
    logger->error("Haulwright[" + std::to_string(line) + "] -> " + oneLine(withoutUserInfo(text)));
}

void Haulwright::onMessage(boost::shared_ptr<LocalMessage> message)
{
    try {
        const std::string type = message->getMessageType();
        const auto found = handlers.find(type);
        const Handler handler = found == handlers.end() ? &Haulwright::ignoreMessage : found->second;
        (this->*handler)(message);
    } catch (const std::exception& e) {
        HAUL_LOG("Exception caught.");
        HAUL_LOG(e.what());
    } catch (...) {
        HAUL_LOG("Unknown exception caught.");
    }
}

// Registry

bool Haulwright::isRegistered(UUId sessionId)
{
    boost::lock_guard<boost::mutex> lock(registryMutex);
    return activeDownloads.count(sessionId) != 0;
}

Code Haulwright::claimSession(const UUId& sessionId, bool limitFirst)
{
    boost::lock_guard<boost::mutex> lock(registryMutex);
    const bool busy = activeDownloads.count(sessionId) != 0 || claimed.count(sessionId) != 0;
    const bool full = activeDownloads.size() + reservations >= maxDownloads;
    if (limitFirst && full)
        return Code::LimitReached;
    if (busy)
        return Code::IdInUse;
    if (full)
        return Code::LimitReached;
    ++reservations;
    claimed.insert(sessionId);
    return Code::Ok;
}

void Haulwright::releaseClaim(const UUId& sessionId)
{
    boost::lock_guard<boost::mutex> lock(registryMutex);
    --reservations;
    claimed.erase(sessionId);
    registryChanged.notify_all();
}

bool Haulwright::registerDownload(const UUId& sessionId, IDownloader* downloader)
{
    boost::lock_guard<boost::mutex> lock(registryMutex);
    activeDownloads[sessionId] = downloader;
    --reservations;
    claimed.erase(sessionId);
    registryChanged.notify_all();
    // Admitted while the component stops: the record stays for a later Resume, no transfer runs.
    if (stopping)
        downloader->pause();
    return true;
}

bool Haulwright::withDownload(const UUId& sessionId, const std::function<void(IDownloader&)>& operation)
{
    // Held across the call so that the completion cannot destroy the transfer meanwhile.
    boost::unique_lock<boost::mutex> lock(registryMutex);
    // Admitted a moment ago, it registers in a moment: a pause or abort for it waits for that
    // rather than finding nothing and being lost.
    const boost::system_time deadline = boost::get_system_time() + boost::posix_time::seconds(5);
    while (!activeDownloads.count(sessionId) && claimed.count(sessionId) &&
           registryChanged.timed_wait(lock, deadline)) {
    }
    const auto found = activeDownloads.find(sessionId);
    if (found == activeDownloads.end())
        return false;
    operation(*found->second);
    return true;
}

bool Haulwright::removeDownload(const UUId& sessionId)
{
    boost::lock_guard<boost::mutex> lock(registryMutex);
    if (activeDownloads.erase(sessionId) == 0)
        HAUL_LOG(" ERROR. Local message not deleted from the map - not found");
    registryChanged.notify_all();
    return true;
}

// Replies

namespace {
bool postReply(const std::string& messageType, const boost::shared_ptr<LocalMessage>& request, int code,
               const std::string& text, const Cause* cause)
{
    CommonMessageProperties properties;
    properties.priority = request->getPriority();
    properties.topic = request->getReplyTopic();
    properties.sessionId = request->getSessionId();
    properties.replyTopic = std::string();
    properties.messageType = messageType;
    if (cause != nullptr)
        properties.details = cause->toText();
    boost::shared_ptr<ISerializable> payload(new StatusReportPayload(code, withoutUserInfo(text)));
    boost::shared_ptr<LocalMessage> reply(new LocalMessage(properties));
    reply->setPayload(payload);
    return MessageDispatcher::getInstance()->post(reply) == 0;
}
} // namespace

void Haulwright::postMessage(std::string messageType, boost::shared_ptr<LocalMessage> request, int code,
                             const std::string& text)
{
    postOutcome(messageType, request, code, text, nullptr);
}

void Haulwright::postMessage(std::string messageType, boost::shared_ptr<LocalMessage> request, int code,
                             const std::string& text, const Cause& cause)
{
    postOutcome(messageType, request, code, text, &cause);
}

void Haulwright::postOutcome(const std::string& messageType, const boost::shared_ptr<LocalMessage>& request, int code,
                             const std::string& text, const Cause* cause)
{
    try {
        if (!postReply(messageType, request, code, text, cause))
            HAUL_LOG(" ERROR: Could not post message.");
    } catch (const std::exception& e) {
        HAUL_LOG(" Exception caught.");
        HAUL_LOG(e.what());
    } catch (...) {
        HAUL_LOG(" ERROR: Unknown exception caught. Could not generate message.");
    }
}

void Haulwright::postErrorMessage(std::string messageType, boost::shared_ptr<LocalMessage> request, int code,
                                  const std::string& text)
{
    try {
        postReply(messageType, request, code, text, nullptr);
    } catch (const std::exception& e) {
        HAUL_LOG(" Exception caught.");
        HAUL_LOG(e.what());
    } catch (...) {
        HAUL_LOG(" ERROR: Unknown exception caught. Could not generate error message.");
    }
}
