#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A fresh temporary folder for one test, removed with everything in it when the Sandbox goes.
// Owned by the test; not shared between threads while files are being written.
class Sandbox
{
public:
    Sandbox();

    bool isValid() const { return dir_.isValid(); }
    QString path() const { return dir_.path(); }
    // name may contain sub-folders ("a/b.bin"); nothing is created.
    QString filePath(const QString& name) const;
    bool exists(const QString& name) const;
    // Creates missing parent folders.
    bool writeFile(const QString& name, const QByteArray& bytes) const;
    // An empty array when the file cannot be read.
    QByteArray readFile(const QString& name) const;

private:
    QTemporaryDir dir_;
};
