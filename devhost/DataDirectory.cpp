#include "DataDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <cstdlib>
#include <stdexcept>

std::string defaultDataPath()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    QString base;
    // The XDG rules ignore a relative XDG_DATA_HOME.
    if (xdg != nullptr && xdg[0] == '/')
        base = QString::fromLocal8Bit(xdg);
    else {
        const char* home = std::getenv("HOME");
        base = (home != nullptr && home[0] != '\0' ? QString::fromLocal8Bit(home) : QDir::homePath()) +
               QStringLiteral("/.local/share");
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return (base + QStringLiteral("haulwright/")).toStdString();
}

void prepareDataDirectory(const std::string& path, const std::string& caBundle)
{
    QString root = QString::fromStdString(path);
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    // The user's alone from the start: the store keeps URLs with their secrets.
    const QFile::Permissions own = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    for (const QString& folder : {root, root + QStringLiteral("download/"), root + QStringLiteral("cert/")}) {
        const bool existed = QDir(folder).exists();
        if (!QDir().mkpath(folder))
            throw std::runtime_error("cannot create the folder " + folder.toStdString());
        if (!existed)
            QFile::setPermissions(folder, own);
    }
    // Only on first use: a user's own certificates in cert/ are left alone.
    const QDir certs(root + QStringLiteral("cert/"));
    const QString bundle = QString::fromStdString(caBundle);
    if (certs.entryList({QStringLiteral("*.crt")}, QDir::Files | QDir::System).isEmpty() && QFileInfo::exists(bundle))
        QFile::link(bundle, certs.filePath(QStringLiteral("system-ca.crt")));
}
