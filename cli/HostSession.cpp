#include "HostSession.h"

#include "CommandLine.h"
#include "Configuration.h"
#include "DataDirectory.h"
#include "HostLogger.h"
#include "IComponent.h"
#include "MessageBus.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdlib>
#include <exception>

namespace {

// Progress every second unless configured: the plugin's own default of two seconds makes a
// sluggish live line.
const char* const defaultStatusInterval = "1000";

bool configured(const std::string& key)
{
    std::string value;
    return Configuration::instance().getValue(key, value, 0) == 0;
}

} // namespace

HostSession::~HostSession()
{
    if (component) {
        stopComponent();
        loader.destroy(component);
        component = nullptr;
    }
    MessageBus::instance().shutdown();
    if (loader.isLoaded())
        loader.unload();
}

bool HostSession::configure(const CommandLine& line, std::string* error)
{
    Configuration& configuration = Configuration::instance();
    if (!line.configFile.empty() && !configuration.loadFile(line.configFile)) {
        *error = "cannot read the configuration file " + line.configFile;
        return false;
    }
    for (const auto& setting : line.settings)
        configuration.set(setting.first, setting.second);

    HostLogger& logger = HostLogger::instance();
    if (!line.logFile.empty() && !logger.setLogFile(line.logFile)) {
        *error = "cannot open the log file " + line.logFile;
        return false;
    }
    logger.setQuiet(line.quiet);

    if (!line.dataDir.empty())
        data = QDir(QString::fromStdString(line.dataDir)).absolutePath().toStdString();
    else if (configuration.getValue("Directories/DataPath", data, 0) != 0 || data.empty())
        data = defaultDataPath();
    // The plugin appends "download/" and "cert/" without a separator.
    if (data.back() != '/')
        data += '/';
    configuration.set("Directories/DataPath", data);
    try {
        prepareDataDirectory(data);
    } catch (const std::exception& e) {
        *error = std::string("data directory: ") + e.what();
        return false;
    }
    if (!configured("Downloader/StatusInterval"))
        configuration.set("Downloader/StatusInterval", defaultStatusInterval);
    return true;
}

bool HostSession::startComponent(std::string* error)
{
    plugin = findPlugin();
    if (plugin.empty()) {
        *error = "cannot find libhaulwright.so (set HAUL_PLUGIN to its path)";
        return false;
    }
    std::string loadError;
    if (!loader.load(plugin, &loadError)) {
        *error = "cannot load " + plugin + ": " + loadError;
        return false;
    }
    component = loader.create("Haulwright");
    if (!component) {
        *error = plugin + " registered no \"Haulwright\" component";
        return false;
    }
    component->start();
    return true;
}

void HostSession::stopComponent()
{
    if (component && !stopped) {
        stopped = true;
        component->stop();
    }
}

std::size_t HostSession::maxDownloads() const
{
    std::string text;
    if (Configuration::instance().getValue("Downloader/MaxDownloads", text, 0) != 0)
        return 50;
    bool ok = false;
    const int value = QString::fromStdString(text).trimmed().toInt(&ok);
    if (!ok)
        return 50;
    // The component takes a negative limit as no limit at all.
    return value < 0 ? 0 : static_cast<std::size_t>(value > 0 ? value : 1);
}

std::string HostSession::findPlugin()
{
    if (const char* chosen = std::getenv("HAUL_PLUGIN"))
        return QFileInfo::exists(chosen) ? std::string(chosen) : std::string();
    const QString here = QCoreApplication::applicationDirPath();
    const QStringList candidates = {here + "/libhaulwright.so", QStringLiteral(HAUL_PLUGIN_BUILD_PATH),
                                    here + "/../lib/haulwright/libhaulwright.so", here + "/../lib/libhaulwright.so",
                                    QStringLiteral(HAUL_PLUGIN_INSTALL_DIR) + "/libhaulwright.so"};
    for (const QString& candidate : candidates) {
        if (QFileInfo(candidate).isFile())
            return QFileInfo(candidate).absoluteFilePath().toStdString();
    }
    return std::string();
}
