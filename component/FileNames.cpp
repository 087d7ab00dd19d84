// File-name rules of the component: partial files, final files, unique names,
// and the search for a file that is already complete.
#include "ContentDisposition.h"
#include "FileDigest.h"
#include "Haulwright.h"

#include <QDir>
#include <QFile>
#include <QUrl>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

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

namespace {

const std::size_t nameLimit = 255; // bytes of one file name on the file systems we run on

// stem + tail in at most nameLimit bytes: the stem is cut (on a UTF-8 boundary) so that the
// tail (extension, unique suffix) survives; a tail that leaves no room is cut with it.
std::string fitted(std::string stem, std::string tail)
{
    if (tail.size() > nameLimit / 2) {
        stem += tail;
        tail.clear();
    }
    const std::size_t room = nameLimit - tail.size();
    if (stem.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80)
            --cut;
        stem.resize(cut);
    }
    return stem + tail;
}

// name fitted to the limit with suffix before its extension (after its last dot, when it has one).
std::string fittedName(const std::string& name, const std::string& suffix)
{
    const std::size_t dot = name.rfind('.');
    const std::size_t split = dot == std::string::npos || dot == 0 ? name.size() : dot;
    return fitted(name.substr(0, split), suffix + name.substr(split));
}

} // namespace

std::string Haulwright::makeTemporalFileName(const UUId& sessionId)
{
    const long long seconds = static_cast<long long>(std::time(nullptr));
    // The identifier is any text a client sends: it must not name a folder.
    std::string id = sessionId.getValue();
    for (char& c : id)
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '_';
    return fitted(id, std::to_string(seconds) + ".part");
}

std::string Haulwright::makeTemporalFilePath(const std::string& name, const std::string& destinationFolder)
{
    return downloadFolder(destinationFolder) + name;
}

std::string Haulwright::makeFinalFilePath(const std::string& url, const std::string& destinationFolder)
{
    const QString path = QUrl(QString::fromStdString(url)).path(QUrl::FullyDecoded);
    std::string name = confinedFileName(path.mid(path.lastIndexOf('/') + 1).toStdString());
    if (name.empty())
        name = "download";
    return downloadFolder(destinationFolder) + fittedName(name, "");
}

std::string Haulwright::makeUniqueFilePath(const std::string& path, unsigned int counter,
                                           const std::set<std::string>* taken)
{
    // "_N" goes into the file's own name, never into a folder's name.
    const std::size_t slash = path.find_last_of('/') + 1;
    const std::string name = path.substr(slash);
    std::string candidate = path.substr(0, slash) + fittedName(name, "");
    while ((taken && taken->count(candidate)) || QFileInfo::exists(QString::fromStdString(candidate)) ||
           QFileInfo(QString::fromStdString(candidate)).isSymLink())
        candidate = path.substr(0, slash) + fittedName(name, "_" + std::to_string(counter++));
    return candidate;
}

std::string Haulwright::reserveFinalName(const std::string& path)
{
    boost::lock_guard<boost::mutex> lock(namingMutex);
    std::string chosen = makeUniqueFilePath(path, 2, &finalNamesHeld);
    finalNamesHeld.insert(chosen);
    return chosen;
}

void Haulwright::releaseFinalName(const std::string& path)
{
    boost::lock_guard<boost::mutex> lock(namingMutex);
    finalNamesHeld.erase(path);
}

int Haulwright::moveWithoutReplacing(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // A file system without it: a hard link refuses an existing name too.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno == EEXIST)
        return EEXIST;
    // Neither (FAT, some network shares): the name was free a moment ago.
    if (QFileInfo::exists(QString::fromStdString(to)))
        return EEXIST;
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
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
