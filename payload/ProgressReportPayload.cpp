#include "ProgressReportPayload.h"

ProgressReportPayload::ProgressReportPayload(std::uint64_t current, std::uint64_t total, std::uint64_t rate)
    : currentBytes(current), totalBytes(total), bytesPerSecond(rate)
{
}

ProgressReportPayload::~ProgressReportPayload() = default;

std::string ProgressReportPayload::getSerializableType() const { return "ProgressReport"; }

std::uint64_t ProgressReportPayload::getCurrentBytes() const { return currentBytes; }
std::uint64_t ProgressReportPayload::getTotalBytes() const { return totalBytes; }
std::uint64_t ProgressReportPayload::getBytesPerSecond() const { return bytesPerSecond; }
void ProgressReportPayload::setCurrentBytes(std::uint64_t value) { currentBytes = value; }
void ProgressReportPayload::setTotalBytes(std::uint64_t value) { totalBytes = value; }
void ProgressReportPayload::setBytesPerSecond(std::uint64_t value) { bytesPerSecond = value; }
