#include "Configuration.h"

#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <mutex>

ConfigurationManager* ConfigurationManager::getDefaultInstance()
{
    return &Configuration::instance();
}

Configuration& Configuration::instance()
{
    // Leaked on purpose: components read it until the very end of the process.
    static Configuration* configuration = new Configuration();
    return *configuration;
}

int Configuration::getValue(const std::string& key, std::string& value, int /*flags*/)
{
    std::shared_lock<std::shared_mutex> lock(mutex);
    auto o = overrides.find(key);
    if (o != overrides.end()) {
        value = o->second;
        return 0;
    }
    if (hidden.count(key) != 0)
        return 1;
    auto f = fileValues.find(key);
    if (f == fileValues.end()) {
        // QSettings files keys of the INI section [General] under no group at all.
        static const std::string general = "General/";
        if (key.compare(0, general.size(), general) == 0)
            f = fileValues.find(key.substr(general.size()));
    }
    if (f == fileValues.end())
        return 1;
    value = f->second;
    return 0;
}

bool Configuration::loadFile(const std::string& path)
{
    const QString file = QString::fromStdString(path);
    if (!QFileInfo(file).isReadable())
        return false;
    // Read once into a map: one QSettings object must not serve several threads.
    QSettings settings(file, QSettings::IniFormat);
    std::map<std::string, std::string> values;
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        const QVariant v = settings.value(key);
        // An unquoted value with commas comes back as a list; give the text back joined.
        const QString text =
            v.type() == QVariant::StringList ? v.toStringList().join(QStringLiteral(", ")) : v.toString();
        values[key.toStdString()] = text.toStdString();
    }
    if (settings.status() != QSettings::NoError)
        return false;
    std::unique_lock<std::shared_mutex> lock(mutex);
    fileValues.swap(values);
    return true;
}

void Configuration::set(const std::string& key, const std::string& value)
{
    std::unique_lock<std::shared_mutex> lock(mutex);
    overrides[key] = value;
    hidden.erase(key);
}

void Configuration::unset(const std::string& key)
{
    std::unique_lock<std::shared_mutex> lock(mutex);
    overrides.erase(key);
    hidden.insert(key);
}

void Configuration::clear()
{
    std::unique_lock<std::shared_mutex> lock(mutex);
    fileValues.clear();
    overrides.clear();
    hidden.clear();
}
