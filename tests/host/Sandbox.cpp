#include "Sandbox.h"

#include <stdexcept>

Sandbox::Sandbox()
{
    if (!dir.isValid())
        throw std::runtime_error("cannot create a sandbox folder");
    root = dir.path().toStdString() + "/";
}
