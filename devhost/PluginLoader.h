#pragma once

#include "IComponent.h"
#include "PluginRecords.h"

#include <cstdint>
#include <string>

// Loads one plugin library the way the service host does: PF_initPlugin, then create and
// destroy through the registered functions, the exit function last. Owned by the host
// program; used from one thread at a time (loads of different loaders are serialized).
// Destroying a loader leaves its library mapped: worker threads may still run its code.
class PluginLoader
{
public:
    PluginLoader() = default;
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // Opens the library and calls PF_initPlugin; false (and *error filled) on any failure,
    // including a null exit function.
    bool load(const std::string& path, std::string* error);
    // What registerObject answers during the next load (negative refuses the registration).
    void setRegisterResult(int result) { registerResult = result; }

    // The component of the registered type, or null when type was not registered.
    IComponent* create(const std::string& type, void* parameters = nullptr);
    // The plugin's destroy function's result; null is passed through as it is.
    int destroy(IComponent* component);
    // Calls the exit function, closes the library and returns the exit function's result
    // (-1 when nothing is loaded).
    int unload();

    bool isLoaded() const { return handle != nullptr; }
    bool registered() const { return hasRegistration; }
    const std::string& registeredType() const { return type; }
    int apiVersionMajor() const { return registration.apiVersionMajor; }
    int apiVersionMinor() const { return registration.apiVersionMinor; }
    int languageCode() const { return registration.languageCode; }
    bool hasCreate() const { return registration.createObject != nullptr; }
    bool hasDestroy() const { return registration.destroyObject != nullptr; }

private:
    static std::int32_t registerObject(const char* objectType, const PluginObjectRegistration* record);
    void reset();

    void* handle = nullptr;
    PluginExitFunc exitFunction = nullptr;
    bool hasRegistration = false;
    std::string type;
    PluginObjectRegistration registration{0, 0, nullptr, nullptr, 0};
    int registerResult = 0;
};
