// The owner's half of ClientEvent (common/ClientEvent.cpp has the rest): it reads the host's messages.
#include "ClientEvent.h"

#include "LocalMessage.h"
#include "ProgressReportPayload.h"
#include "SafeText.h"
#include "StatusReportPayload.h"

ClientEvent ClientEvent::fromMessage(const LocalMessage& message)
{
    ClientEvent event;
    event.type = message.getMessageType();
    event.session = message.getSessionId().getValue();
    const boost::shared_ptr<ISerializable> payload = message.getPayload();
    if (const auto* progress = dynamic_cast<const ProgressReportPayload*>(payload.get())) {
        event.type = "Progress";
        event.currentBytes = progress->getCurrentBytes();
        event.totalBytes = progress->getTotalBytes();
        event.bytesPerSecond = progress->getBytesPerSecond();
    } else if (const auto* status = dynamic_cast<const StatusReportPayload*>(payload.get())) {
        event.code = status->getCode();
        // A server's words reach clients on one line, bounded, without credentials.
        event.text = clientText(status->getMessage());
        event.cause = Cause::fromText(message.getDetails());
        event.cause.tlsCause = clientText(event.cause.tlsCause, 200);
    }
    return event;
}
