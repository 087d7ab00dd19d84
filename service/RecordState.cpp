#include "RecordState.h"

#include "SafeText.h"

#include <QString>

void addFailureDetails(QJsonObject& object, const RequestStore::Record& record)
{
    object.insert("httpStatus", record.httpStatus);
    object.insert("tlsCause", QString::fromStdString(record.tlsCause));
    object.insert("retryAfter", record.retryAfter);
}

void addRecordState(QJsonObject& object, const RequestStore::Record& record, const bool* posted)
{
    if (posted) {
        object.insert("state", *posted ? "running" : "queued");
    } else if (record.lastState == "paused") {
        object.insert("state", "paused");
    } else if (record.lastState == "failed") {
        object.insert("state", "failed");
        // The store outlives the owner: an earlier run's failure is told as this run's would be.
        if (!object.contains("outcome"))
            object.insert("outcome", QString::fromStdString(record.lastType));
        object.insert("code", record.lastCode);
        object.insert("text", QString::fromStdString(clientText(record.lastText)));
        addFailureDetails(object, record);
    } else {
        object.insert("state", "interrupted");
    }
}
