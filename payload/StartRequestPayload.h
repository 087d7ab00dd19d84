#pragma once

#include "Export.h"
#include "ISerializable.h"

#include <string>

// What a client asks to download. A plain value holder; no validation.
class HAUL_EXPORT StartRequestPayload : public ISerializable
{
public:
    StartRequestPayload();
    StartRequestPayload(std::string url, std::string userName, std::string password, std::string destinationFolder,
                        bool useAuthData, std::string fileHash);
    ~StartRequestPayload() override;

    std::string getSerializableType() const override;

    std::string getUrl() const;
    std::string getUserName() const;
    std::string getPassword() const;
    std::string getDestinationFolder() const;
    std::string getFileHash() const;
    bool getUseAuthData() const;
    void setUrl(const std::string& value);
    void setUserName(const std::string& value);
    void setPassword(const std::string& value);
    void setDestinationFolder(const std::string& value);
    void setFileHash(const std::string& value);
    void setUseAuthData(bool value);

private:
    std::string url;
    std::string userName;
    std::string password;
    std::string destinationFolder;
    bool useAuthData;
    std::string fileHash;
};
