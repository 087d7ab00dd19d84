#include "StatusReportPayload.h"

StatusReportPayload::StatusReportPayload(int code_, std::string message_)
    : code(code_), message(std::move(message_)), codeText(1, static_cast<char>(code_ & 0xff))
{
}

StatusReportPayload::~StatusReportPayload() = default;

std::string StatusReportPayload::getSerializableType() const { return "StatusReport"; }

int StatusReportPayload::getCode() const { return code; }

void StatusReportPayload::setCode(int value)
{
    code = value;
    codeText.assign(1, static_cast<char>(value & 0xff));
}

std::string StatusReportPayload::getMessage() const { return message; }
void StatusReportPayload::setMessage(const std::string& value) { message = value; }
