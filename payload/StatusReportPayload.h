#pragma once

#include "Export.h"
#include "ISerializable.h"

#include <string>

// A result code with its text; the answer to every request.
class HAUL_EXPORT StatusReportPayload : public ISerializable
{
public:
    StatusReportPayload(int code, std::string message);
    ~StatusReportPayload() override;

    std::string getSerializableType() const override;

    int getCode() const;
    // Also keeps the low byte of the code as a one-character text for the host.
    void setCode(int value);
    std::string getMessage() const;
    void setMessage(const std::string& value);

private:
    int code;
    std::string message;
    std::string codeText; // read only by the host
};
