#include "HostSession.h"

#include "ConfigKeys.h"
#include "ConfigNumber.h"
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

bool HostSession::configure(const HostOptions& line, std::string* error)
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

    data = resolveDataPath(line);
    configuration.set("Directories/DataPath", data);
    try {
        prepareDataDirectory(data);
    } catch (const std::exception& e) {
        *error = std::string("data directory: ") + e.what();
        return false;
    }
    for (const ConfigKey& key : configKeys()) {
        if (key.hostValue && !configured(key.name))
            configuration.set(key.name, key.hostValue);
    }
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

std::string HostSession::resolveDataPath(const HostOptions& options)
{
    std::string path;
    if (!options.dataDir.empty())
        path = QDir(QString::fromStdString(options.dataDir)).absolutePath().toStdString();
    else if (Configuration::instance().getValue("Directories/DataPath", path, 0) != 0 || path.empty())
        path = defaultDataPath();
    // The plugin appends "download/" and "cert/" without a separator.
    if (path.back() != '/')
        path += '/';
    return path;
}

std::size_t HostSession::maxDownloads() const
{
    // A missing key reads as no number: the default.
    std::string text;
    Configuration::instance().getValue("Downloader/MaxDownloads", text, 0);
    // The component's own reading: a negative limit is no limit at all. With 0 it refuses every
    // start, so one is sent at a time and answered.
    const auto limit = static_cast<std::int64_t>(maxDownloadsFromText(text, configDefault("Downloader/MaxDownloads")));
    return limit < 0 ? 0 : static_cast<std::size_t>(limit > 0 ? limit : 1);
}

std::string HostSession::findPlugin()
{
    if (const char* chosen = std::getenv("HAUL_PLUGIN"))
        return QFileInfo::exists(chosen) ? std::string(chosen) : std::string();
    // Relative to the program: an installed haul takes its own plugin. The build folder's plugin
    // is for the build folder's haul alone, never for an installed one.
    const QString here = QCoreApplication::applicationDirPath();
    QStringList candidates = {here + "/../lib/haulwright/libhaulwright.so", here + "/libhaulwright.so"};
    if (QFileInfo(here) == QFileInfo(QStringLiteral(HAUL_BUILD_PROGRAM_DIR)))
        candidates << QStringLiteral(HAUL_PLUGIN_BUILD_PATH);
    for (const QString& candidate : candidates) {
        if (QFileInfo(candidate).isFile())
            return QFileInfo(candidate).absoluteFilePath().toStdString();
    }
    return std::string();
}
