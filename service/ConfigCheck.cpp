#include "ConfigCheck.h"

#include "ConfigNumber.h"
#include "Configuration.h"
#include "NearestName.h"

#include <QFile>
#include <QString>
#include <limits>

namespace {

using Kind = ConfigKey::Kind;
constexpr std::int64_t intMax = std::numeric_limits<std::int32_t>::max();

const ConfigKey* findKey(const std::string& name)
{
    for (const ConfigKey& key : configKeys()) {
        if (name == key.name)
            return &key;
    }
    return nullptr;
}

std::string numberProblem(const ConfigKey& key, const std::string& value)
{
    const std::size_t sign = !value.empty() && value[0] == '-' ? 1 : 0;
    if (value.size() == sign || value.find_first_not_of("0123456789", sign) != std::string::npos)
        return "\"" + value + "\" is not a whole number";
    // Beyond 64 bits is beyond every range too.
    const bool huge = value.size() - sign > 18;
    const std::int64_t number = huge ? (sign ? key.least - 1 : key.most + 1) : std::stoll(value);
    if (number < key.least)
        return "must be " + std::to_string(key.least) + " or more";
    if (number > key.most)
        return "must be at most " + std::to_string(key.most);
    return std::string();
}

// QSettings' reading of one INI line's value: one pair of quotes removed, a ';' outside quotes
// starts a comment.
std::string iniValue(const QString& text)
{
    QString value;
    bool quoted = false;
    for (const QChar c : text) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ';' && !quoted)
            break;
        else
            value += c;
    }
    return value.trimmed().toStdString();
}

std::string fileProblem(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return "cannot read the configuration file " + path + ": " + file.errorString().toStdString();
    QString group;
    int number = 0;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        const std::string at = path + ":" + std::to_string(++number) + ": ";
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            if (!line.endsWith(']'))
                return at + "a section needs a closing ]: " + line.toStdString();
            group = line.mid(1, line.size() - 2).trimmed();
            // QSettings files the keys of [General] under no group at all.
            if (group.compare(QStringLiteral("General"), Qt::CaseInsensitive) == 0)
                group.clear();
            continue;
        }
        const int equals = line.indexOf('=');
        if (equals <= 0)
            return at + "neither KEY=VALUE nor [SECTION]: " + line.toStdString();
        QString name = line.left(equals).trimmed().replace('\\', '/');
        if (!group.isEmpty())
            name = group + '/' + name;
        std::string key = name.toStdString();
        // Configuration reads "General/a/b" from a key "a/b" of [General] or of [a].
        if (!findKey(key) && findKey("General/" + key))
            key = "General/" + key;
        const std::string value = iniValue(line.mid(equals + 1));
        const std::string problem = configValueProblem(key, value);
        if (!problem.empty())
            return at + (findKey(key) ? key + "=" + value + ": " : std::string()) + problem;
    }
    return std::string();
}

} // namespace

const std::vector<ConfigKey>& configKeys()
{
    static const std::vector<ConfigKey> keys = {
        {"Downloader/MaxDownloads", Kind::Number, -1, intMax},
        {"Downloader/StatusInterval", Kind::Number, 0, std::numeric_limits<std::uint32_t>::max()},
        {"Downloader/RequestTimeout", Kind::Number, 0, intMax},
        {"Directories/DataPath", Kind::Text, 0, 0},
        {"Service/IdleExitSeconds", Kind::Number, 0, intMax},
        {"Service/AllowedDirectories", Kind::Text, 0, 0},
        {"Service/MaxConnections", Kind::Number, 1, 100000},
        {"Service/RequestTimeoutSeconds", Kind::Number, 1, 3600},
        {"Service/IdleTimeoutSeconds", Kind::Number, 1, 3600},
        {"Service/StreamBufferKiB", Kind::Number, 16, 1 << 20},
        {"Service/StreamBuffersMiB", Kind::Number, 1, 1 << 16},
        {"Cluster/AckWaitSeconds", Kind::Number, 3, 86400},
        {"Cluster/MaxDeliveries", Kind::Number, 1, 1000},
        {"Cluster/RetryDelaySeconds", Kind::Number, 1, 86400},
        {"Cluster/HostName", Kind::Text, 0, 0},
        {"General/security/IgnoreSslErrors", Kind::YesNo, 0, 0},
        {"Identities/DomainID", Kind::Text, 0, 0},
        {"Proxy/Host", Kind::Text, 0, 0},
        {"Proxy/Port", Kind::Number, 1, 65535},
        {"Proxy/Type", Kind::Number, 1, 4},
        {"Proxy/User", Kind::Text, 0, 0},
        {"Proxy/Password", Kind::Text, 0, 0},
    };
    return keys;
}

std::string configValueProblem(const std::string& name, const std::string& value)
{
    const ConfigKey* key = findKey(name);
    if (!key) {
        std::vector<std::string> names;
        for (const ConfigKey& known : configKeys())
            names.push_back(known.name);
        std::string nearest = nearestName(name, names);
        // A key without its section ("MaxDownloads") means the key it ends.
        for (const std::string& known : names) {
            if (nearest.empty() &&
                QString::fromStdString(known).endsWith('/' + QString::fromStdString(name), Qt::CaseInsensitive))
                nearest = known;
        }
        return "unknown key \"" + name + "\"" + (nearest.empty() ? "" : " (did you mean " + nearest + "?)");
    }
    if (key->kind == Kind::Number)
        return numberProblem(*key, value);
    // Anything but exactly "yes" reads as no: a "Yes" would be a silent no.
    if (key->kind == Kind::YesNo && value != "yes" && value != "no")
        return "must be yes or no";
    return std::string();
}

std::string configProblem(const std::string& file, const std::vector<std::pair<std::string, std::string>>& settings)
{
    if (!file.empty()) {
        const std::string problem = fileProblem(file);
        if (!problem.empty())
            return problem;
    }
    for (const auto& setting : settings) {
        const std::string problem = configValueProblem(setting.first, setting.second);
        if (!problem.empty())
            return "--set " + setting.first + "=" + setting.second + ": " + problem;
    }
    return std::string();
}

int positiveSetting(const char* key, int fallback)
{
    std::string text;
    if (Configuration::instance().getValue(key, text, 0) != 0)
        return fallback;
    const int value = configNumber<int>(text, fallback);
    return value > 0 ? value : fallback;
}
