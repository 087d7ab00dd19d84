#include "ConfigKeys.h"

#include <limits>
#include <stdexcept>

namespace {

using Kind = ConfigKey::Kind;
constexpr std::int64_t intMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t uintMax = std::numeric_limits<std::uint32_t>::max();

// Whole numbers only as written: digits with an optional "-", nothing else ("1e3", "+5", " 5").
bool wholeNumber(const std::string& value, std::int64_t& number, bool& huge)
{
    const std::size_t sign = !value.empty() && value[0] == '-' ? 1 : 0;
    if (value.size() == sign || value.find_first_not_of("0123456789", sign) != std::string::npos)
        return false;
    // Beyond 64 bits is beyond every range too.
    huge = value.size() - sign > 18;
    number = huge ? (sign ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max())
                  : std::stoll(value);
    return true;
}

} // namespace

const std::vector<ConfigKey>& configKeys()
{
    static const std::vector<ConfigKey> keys = {
        {"Downloader/Connections", Kind::Number, 1, 16, "1",
         "connections per download whose server honours ranges (--connections sets one)", nullptr},
        {"Downloader/MaxDownloads", Kind::Number, -1, intMax, "50",
         "downloads at once; -1 no limit, 0 refuses every start", nullptr},
        {"Downloader/MaxRate", Kind::Number, 0, 1000000000000, "0",
         "bytes a second all downloads together may take (0: no limit); --limit-rate limits one", nullptr},
        {"Downloader/StatusInterval", Kind::Number, 0, uintMax, "2000", "ms between progress reports; 0 none", "1000"},
        {"Downloader/RequestTimeout", Kind::Number, 0, intMax, "60000", "ms without data before 273; 0 no limit",
         nullptr},
        {"Directories/DataPath", Kind::Text, 0, 0, "$XDG_DATA_HOME/haulwright/", "data directory, ending in \"/\"",
         nullptr},
        {"Service/IdleExitSeconds", Kind::Number, 0, intMax, "30",
         "idle seconds before an owner started on demand leaves", nullptr},
        {"Service/AllowedDirectories", Kind::Folders, 0, 0, "DATA/download/",
         "where requests from TCP and NATS may save, after \"..\" and symbolic links are resolved", nullptr},
        {"Service/MaxConnections", Kind::Number, 1, 100000, "256",
         "open connections per door; one more is answered 503 and closed", nullptr},
        {"Service/RequestTimeoutSeconds", Kind::Number, 1, 3600, "10",
         "seconds to send a request's head, and again its body", nullptr},
        {"Service/IdleTimeoutSeconds", Kind::Number, 1, 3600, "15",
         "seconds a kept-alive connection may wait for its next request", nullptr},
        {"Service/AnswerWaitSeconds", Kind::Number, 1, 86400, "60",
         "seconds a command waits for the owner's answer, and at least 15 for a sign of life on its event stream",
         nullptr},
        {"Service/StreamBufferKiB", Kind::Number, 16, 1 << 20, "1024",
         "events waiting for one reader of the event stream; a reader further behind is dropped", nullptr},
        {"Service/StreamBuffersMiB", Kind::Number, 1, 1 << 16, "16",
         "events waiting for all readers together; past it the reader furthest behind is dropped", nullptr},
        {"Service/History", Kind::Number, 1, 100000, "500",
         "finished and aborted downloads the owner keeps for its lists", nullptr},
        {"Service/ResumeOnStart", Kind::YesNo, 0, 0, "no",
         "\"yes\": downloads that ran when the owner stopped run again at its start", nullptr},
        {"Cluster/AckWaitSeconds", Kind::Number, 3, 86400, "30",
         "with --cluster: seconds a taken request may go without its host's word before another host gets it", nullptr},
        {"Cluster/MaxDeliveries", Kind::Number, 1, 1000, "5",
         "with --cluster: deliveries of one request before a transient failure is final", nullptr},
        {"Cluster/RetryDelaySeconds", Kind::Number, 1, 86400, "10",
         "with --cluster: delay before a transiently failed request is delivered again", nullptr},
        {"Cluster/RecordDays", Kind::Number, 0, 36500, "30",
         "with --cluster: days a download's record is kept after its last change (0: for good); set by the host "
         "that makes the records",
         nullptr},
        {"Cluster/Replicas", Kind::Number, 1, 5, "1",
         "with --cluster: copies of the request queue, its consumer and the buckets on the NATS servers, "
         "when they are made; 3 with three servers",
         nullptr},
        {"Cluster/CredentialsFile", Kind::Text, 0, 0, "none",
         "with --cluster: a NATS user's credentials file (JWT and seed), for servers that want one", nullptr},
        {"Cluster/CAFile", Kind::Text, 0, 0, "none",
         "with --cluster: certificates that sign the NATS servers' (PEM); the connection uses TLS", nullptr},
        {"Cluster/CertFile", Kind::Text, 0, 0, "none",
         "with --cluster: this side's certificate (PEM), for servers that verify their clients", nullptr},
        {"Cluster/KeyFile", Kind::Text, 0, 0, "none", "with --cluster: the key of Cluster/CertFile (PEM)", nullptr},
        {"Cluster/HostName", Kind::Text, 0, 0, "HOSTNAME:PID",
         "with --cluster: this host's name in records, answers and list", nullptr},
        {"General/security/IgnoreSslErrors", Kind::YesNo, 0, 0, "no", "\"yes\" accepts untrusted TLS certificates",
         nullptr},
        {"Identities/DomainID", Kind::Text, 0, 0, "empty", "names the store's domain", nullptr},
        {"Proxy/Host", Kind::Text, 0, 0, "none",
         "proxy host; else http_proxy, https_proxy, ftp_proxy, all_proxy, no_proxy", nullptr},
        {"Proxy/Port", Kind::Number, 1, 65535, "8080", "proxy port; 1080 with Proxy/Type 1 (SOCKS5)", nullptr},
        {"Proxy/Type", Kind::Number, 1, 4, "3", "1 SOCKS5, 2 none, 3 HTTP, 4 FTP caching", nullptr},
        {"Proxy/User", Kind::Text, 0, 0, "none", "proxy user name", nullptr},
        {"Proxy/Password", Kind::Text, 0, 0, "none", "proxy password", nullptr},
    };
    return keys;
}

const ConfigKey* findConfigKey(const std::string& name)
{
    for (const ConfigKey& key : configKeys()) {
        if (name == key.name)
            return &key;
    }
    return nullptr;
}

std::int64_t configDefault(const std::string& name)
{
    const ConfigKey* key = findConfigKey(name);
    std::int64_t number = 0;
    bool huge = false;
    if (!key || key->kind != Kind::Number || !wholeNumber(key->defaultText, number, huge) || huge)
        throw std::invalid_argument("no whole-number default for the configuration key \"" + name + "\"");
    return number;
}

std::string ConfigKey::valueProblem(const std::string& value) const
{
    if (kind == Kind::Number) {
        std::int64_t number = 0;
        bool huge = false;
        if (!wholeNumber(value, number, huge))
            return "\"" + value + "\" is not a whole number";
        if (number < least)
            return "must be " + std::to_string(least) + " or more";
        if (number > most)
            return "must be at most " + std::to_string(most);
    }
    // Anything but exactly "yes" reads as no: a "Yes" would be a silent no.
    if (kind == Kind::YesNo && value != "yes" && value != "no")
        return "must be yes or no";
    return std::string();
}

std::string ConfigKey::values() const
{
    switch (kind) {
    case Kind::Number:
        return std::to_string(least) + " to " + std::to_string(most);
    case Kind::YesNo:
        return "yes or no";
    case Kind::Folders:
        return "folders separated by \":\"";
    case Kind::Text:
        break;
    }
    return "text";
}
