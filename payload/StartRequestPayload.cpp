#include "StartRequestPayload.h"

StartRequestPayload::StartRequestPayload() : useAuthData(false) {}

StartRequestPayload::StartRequestPayload(std::string url_, std::string userName_, std::string password_,
                                         std::string destinationFolder_, bool useAuthData_, std::string fileHash_)
    : url(std::move(url_)), userName(std::move(userName_)), password(std::move(password_)),
      destinationFolder(std::move(destinationFolder_)), useAuthData(useAuthData_), fileHash(std::move(fileHash_))
{
}

StartRequestPayload::~StartRequestPayload() = default;

std::string StartRequestPayload::getSerializableType() const { return "StartRequest"; }

std::string StartRequestPayload::getUrl() const { return url; }
std::string StartRequestPayload::getUserName() const { return userName; }
std::string StartRequestPayload::getPassword() const { return password; }
std::string StartRequestPayload::getDestinationFolder() const { return destinationFolder; }
std::string StartRequestPayload::getFileHash() const { return fileHash; }
bool StartRequestPayload::getUseAuthData() const { return useAuthData; }
void StartRequestPayload::setUrl(const std::string& value) { url = value; }
void StartRequestPayload::setUserName(const std::string& value) { userName = value; }
void StartRequestPayload::setPassword(const std::string& value) { password = value; }
void StartRequestPayload::setDestinationFolder(const std::string& value) { destinationFolder = value; }
void StartRequestPayload::setFileHash(const std::string& value) { fileHash = value; }
void StartRequestPayload::setUseAuthData(bool value) { useAuthData = value; }
