#pragma once

#include <QTemporaryDir>
#include <string>

// A fresh folder for one test, removed with everything in it when the test ends. Lives on
// the test's thread; owned by the test fixture.
class Sandbox
{
public:
    Sandbox();
    // The folder's path, ending in "/".
    const std::string& path() const { return root; }
    std::string file(const std::string& name) const { return root + name; }

private:
    QTemporaryDir dir;
    std::string root;
};
