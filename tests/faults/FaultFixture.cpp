#include "FaultFixture.h"

#include "MessageBus.h"
#include "StatusReportPayload.h"

testing::AssertionResult FaultTest::isReport(const boost::shared_ptr<LocalMessage>& reply, const std::string& type,
                                             int code, const std::string& text)
{
    if (!reply)
        return testing::AssertionFailure() << "no report";
    const auto* status = dynamic_cast<const StatusReportPayload*>(reply->getPayload().get());
    if (status == nullptr)
        return testing::AssertionFailure() << reply->getMessageType() << " without a status payload";
    if (reply->getMessageType() == type && status->getCode() == code && status->getMessage() == text)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "got " << reply->getMessageType() << " " << status->getCode() << " \""
                                       << status->getMessage() << "\", expected " << type << " " << code << " \""
                                       << text << "\"";
}

boost::shared_ptr<LocalMessage> FaultTest::resume(const std::string& session, int timeoutMs)
{
    MessageBus::instance().waitIdle(timeoutMs);
    replies.clear();
    send(makeMessage("Resume", session));
    auto reply = awaitReply(session, timeoutMs);
    MessageBus::instance().waitIdle(timeoutMs);
    return reply;
}

std::string FaultTest::recordedPartial(const std::string& session)
{
    HaulwrightPersistedRequest record;
    return persisted(session, record) ? record.temporalFilename : std::string();
}
