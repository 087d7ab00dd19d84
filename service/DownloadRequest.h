#pragma once

#include "Download.h"

#include <string>
#include <utility>

// One download a client asks for, or the credentials of a resume. The password lives only in
// the owner's memory.
struct DownloadRequest
{
    std::string id;
    std::string url;
    std::string dir;
    std::string sha1;
    std::string user;
    std::string password;
    DownloadOptions options;
    bool replace = false; // a known download of the same id gives way
};

// Why a client's request changed nothing: an HTTP status, a text, and the component's code
// where the component would have answered the same.
struct ServiceError
{
    ServiceError() = default;
    ServiceError(int status, std::string text, int code = 0, std::string session = std::string())
        : status(status), text(std::move(text)), code(code), session(std::move(session))
    {
    }

    int status = 400;
    std::string text;
    int code = 0;
    std::string session; // the download concerned, when one is
};

// Where a request came in: the user's own Unix socket may name any folder the user can write;
// TCP and NATS requests are confined to Service/AllowedDirectories.
enum class Door
{
    Own,
    Confined
};
