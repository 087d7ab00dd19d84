#pragma once

#include "Export.h"
#include "ISerializable.h"

#include <cstdint>
#include <string>

// How far a running transfer has come.
class HAUL_EXPORT ProgressReportPayload : public ISerializable
{
public:
    ProgressReportPayload(std::uint64_t currentBytes, std::uint64_t totalBytes, std::uint64_t bytesPerSecond);
    ~ProgressReportPayload() override;

    std::string getSerializableType() const override;

    std::uint64_t getCurrentBytes() const;
    std::uint64_t getTotalBytes() const;
    std::uint64_t getBytesPerSecond() const;
    void setCurrentBytes(std::uint64_t value);
    void setTotalBytes(std::uint64_t value);
    void setBytesPerSecond(std::uint64_t value);

private:
    std::uint64_t currentBytes;
    std::uint64_t totalBytes;
    std::uint64_t bytesPerSecond;
};
