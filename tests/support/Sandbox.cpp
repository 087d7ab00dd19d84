#include "Sandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

Sandbox::Sandbox() : dir_(QDir::tempPath() + QStringLiteral("/haul-test-XXXXXX")) {}

QString Sandbox::filePath(const QString& name) const
{
    return dir_.filePath(name);
}

bool Sandbox::exists(const QString& name) const
{
    return QFileInfo::exists(filePath(name));
}

bool Sandbox::writeFile(const QString& name, const QByteArray& bytes) const
{
    const QString target = filePath(name);
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        return false;
    }
    QFile file(target);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray Sandbox::readFile(const QString& name) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
