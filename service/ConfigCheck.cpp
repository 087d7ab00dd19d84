#include "ConfigCheck.h"

#include "NearestName.h"

#include <QFile>
#include <QString>

namespace {

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
        if (!findConfigKey(key) && findConfigKey("General/" + key))
            key = "General/" + key;
        const std::string value = iniValue(line.mid(equals + 1));
        const std::string problem = configValueProblem(key, value);
        if (!problem.empty())
            return at + (findConfigKey(key) ? key + "=" + value + ": " : std::string()) + problem;
    }
    return std::string();
}

} // namespace

std::string configValueProblem(const std::string& name, const std::string& value)
{
    if (const ConfigKey* key = findConfigKey(name))
        return key->valueProblem(value);
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
