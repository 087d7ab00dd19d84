#include "RecordedRequest.h"

QByteArray RecordedRequest::header(const QByteArray& name) const
{
    for (const auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) {
            return h.second;
        }
    }
    return QByteArray();
}

bool RecordedRequest::hasHeader(const QByteArray& name) const
{
    for (const auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}
