#pragma once

#include "TransferFixture.h"

#include <gtest/gtest.h>
#include <string>

// A component and a loopback server whose faults a test scripts; every request goes through the
// bus and every check is on what the client receives and what stays on disk and in the store.
class FaultTest : public TransferTest
{
protected:
    // Type, code and text of a status report, all at once, so a failure shows the whole report.
    static testing::AssertionResult isReport(const boost::shared_ptr<LocalMessage>& reply, const std::string& type,
                                             int code, const std::string& text);
    // Sends a Resume for session and waits for its report (earlier replies are forgotten).
    boost::shared_ptr<LocalMessage> resume(const std::string& session, int timeoutMs = 60000);
    // The partial file the persisted record of session names ("" when there is no record).
    std::string recordedPartial(const std::string& session);
};
