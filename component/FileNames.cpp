// File-name rules of the component: partial files, final files, unique names,
// and the search for a file that is already complete.
#include "FileDigest.h"
#include "Haulwright.h"

#include <QDir>
#include <QFile>
#include <QUrl>
#include <cctype>
#include <ctime>

std::string Haulwright::downloadFolder(const std::string& destinationFolder)
{
    std::string folder = destinationFolder;
    if (folder.empty()) {
        std::string dataPath;
        ConfigurationManager* config = configuration ? configuration : ConfigurationManager::getDefaultInstance();
        if (config->getValue("Directories/DataPath", dataPath, 0) != 0)
            dataPath.clear();
        folder = dataPath + "download/";
    }
    if (folder.empty() || folder.back() != '/')
        folder += "/";
    return folder;
}

std::string Haulwright::makeTemporalFileName(const UUId& sessionId)
{
    const long long seconds = static_cast<long long>(std::time(nullptr));
    return sessionId.getValue() + std::to_string(seconds) + ".part";
}

std::string Haulwright::makeTemporalFilePath(const std::string& name, const std::string& destinationFolder)
{
    return downloadFolder(destinationFolder) + name;
}

std::string Haulwright::makeFinalFilePath(const std::string& url, const std::string& destinationFolder)
{
    const QString path = QUrl(QString::fromStdString(url)).path();
    std::string name = QFileInfo(path).fileName().toStdString();
    if (name.empty())
        name = "download";
    return downloadFolder(destinationFolder) + name;
}

std::string Haulwright::makeUniqueFilePath(const std::string& path, unsigned int counter)
{
    if (!QFile::exists(QString::fromStdString(path)))
        return path;
    for (;; ++counter) {
        const std::string suffix = "_" + std::to_string(counter);
        const std::size_t dot = path.rfind('.');
        std::string candidate = path;
        if (dot == std::string::npos)
            candidate += suffix;
        else
            candidate.replace(dot, 1, suffix + ".");
        if (!QFile::exists(QString::fromStdString(candidate)))
            return candidate;
    }
}

void Haulwright::listCandidateFiles(const std::string& path, QList<QFileInfo>& files)
{
    const QFileInfo info(QString::fromStdString(path));
    files = info.dir().entryInfoList(QStringList() << info.completeBaseName() + "*",
                                     QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDir::NoSort);
}

namespace {
bool isSha1Text(const std::string& text)
{
    if (text.size() != 40)
        return false;
    for (const char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}
} // namespace

bool Haulwright::findCompletedFile(const std::string& url, const std::string& destinationFolder,
                                   const std::string& fileHash, std::string& foundPath)
{
    foundPath = makeFinalFilePath(url, destinationFolder);
    const FileDigest expected(fileHash);
    // Hashing candidates cannot match a text that is no digest; skip the reading.
    if (!isSha1Text(expected.text()))
        return false;
    QList<QFileInfo> files;
    listCandidateFiles(foundPath, files);
    for (const QFileInfo& file : files) {
        const std::string candidate = file.absoluteFilePath().toStdString();
        FileDigest digest;
        if (!digest.readFile(candidate))
            continue;
        if (digest == expected) {
            foundPath = candidate;
            return true;
        }
    }
    return false;
}
