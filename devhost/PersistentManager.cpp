#include "ConfigurationManager.h"
#include "KeyValueSchema.h"
#include "KeyValueStore.h"
#include "StoreError.h"

#include <QDir>
#include <QString>
#include <cstdio>
#include <stdexcept>

namespace {

// Reversible file-name form: letters, digits, '_' and inner dots stay, every other byte
// becomes %XX, so two different texts never share a file and none escapes the folder. '-'
// stays in domains (identifiers are full of them) but not in names, where it would be
// mistaken for the name-domain separator.
std::string fileNamePart(const std::string& text, bool keepDash)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                           (c == '-' && keepDash) || (c == '.' && i != 0);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace

std::string storeFilePath(const std::string& name, const std::string& domain)
{
    if (name.empty())
        throw std::runtime_error("key-value store: open failed: the store name is empty");
    std::string dataPath;
    if (ConfigurationManager::getDefaultInstance()->getValue("Directories/DataPath", dataPath, 0) != 0 ||
        dataPath.empty())
        throw std::runtime_error("key-value store: cannot open store \"" + name +
                                 "\": the configuration key Directories/DataPath is not set");
    if (dataPath.back() != '/')
        dataPath += '/';
    const std::string folder = dataPath + "store/";
    if (!QDir().mkpath(QString::fromStdString(folder)))
        throw StoreError("create folder", folder, "cannot create the folder");
    std::string file = folder + fileNamePart(name, false);
    if (!domain.empty())
        file += "-" + fileNamePart(domain, true);
    return file + ".sqlite";
}

KeyValueSchema PersistentManager::initLocal(const std::string& name, const std::string& domain,
                                            const std::string& /*reserved1*/, const std::string& /*reserved2*/)
{
    std::shared_ptr<KeyValueStore> shared = KeyValueStore::openShared(storeFilePath(name, domain));
    KeyValueStore* store = shared.get();
    return KeyValueSchema(
        boost::shared_ptr<KeyValueStore>(store, [shared](KeyValueStore*) mutable { shared.reset(); }));
}
