#pragma once

#include "RequestStore.h"

#include <QJsonObject>

// How a persisted request stands, for lists and events. posted: null when the owner does not
// hold the download now, else whether it was handed to the component (running) or waits (queued).
// "state" is then running, queued, paused, failed or interrupted (no outcome and not running:
// the owner or the machine stopped under it).
void addRecordState(QJsonObject& object, const RequestStore::Record& record, const bool* posted);
// "httpStatus", "tlsCause" and "retryAfter" of a record's last failure.
void addFailureDetails(QJsonObject& object, const RequestStore::Record& record);
