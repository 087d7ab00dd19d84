#include "PluginLoader.h"

#include <dlfcn.h>
#include <mutex>

namespace {

// Held for the whole of a load, so it guards loading: registerObject runs inside
// PF_initPlugin on the loading thread and reads loading without locking again.
std::mutex loadMutex;
PluginLoader* loading = nullptr;

std::string dlError(const std::string& what)
{
    const char* reason = dlerror();
    return what + ": " + (reason != nullptr ? reason : "unknown error");
}

} // namespace

std::int32_t PluginLoader::registerObject(const char* objectType, const PluginObjectRegistration* record)
{
    PluginLoader* self = loading;
    if (self == nullptr || objectType == nullptr || record == nullptr)
        return -1;
    // The record lives on the plugin's stack only until PF_initPlugin returns.
    self->type = objectType;
    self->registration = *record;
    self->hasRegistration = true;
    return self->registerResult;
}

void PluginLoader::reset()
{
    handle = nullptr;
    exitFunction = nullptr;
    hasRegistration = false;
    type.clear();
    registration = PluginObjectRegistration{0, 0, nullptr, nullptr, 0};
}

bool PluginLoader::load(const std::string& path, std::string* error)
{
    std::string ignored;
    std::string& message = error != nullptr ? *error : ignored;
    if (handle != nullptr) {
        message = "a plugin is already loaded";
        return false;
    }
    std::lock_guard<std::mutex> lock(loadMutex);
    reset();
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        message = dlError("cannot open " + path);
        return false;
    }
    auto init = reinterpret_cast<PluginInitFunc>(dlsym(library, "PF_initPlugin"));
    if (init == nullptr) {
        message = dlError("no PF_initPlugin in " + path);
        dlclose(library);
        return false;
    }
    const PluginPlatformServices services{nullptr, &PluginLoader::registerObject};
    loading = this;
    PluginExitFunc exit = init(&services);
    loading = nullptr;
    if (exit == nullptr) {
        message = "PF_initPlugin of " + path + " failed (registration refused)";
        dlclose(library);
        reset();
        return false;
    }
    handle = library;
    exitFunction = exit;
    return true;
}

IComponent* PluginLoader::create(const std::string& objectType, void* parameters)
{
    if (handle == nullptr || !hasRegistration || objectType != type || registration.createObject == nullptr)
        return nullptr;
    // The create function hands back the component's IComponent face as void*.
    return static_cast<IComponent*>(registration.createObject(parameters));
}

int PluginLoader::destroy(IComponent* component)
{
    if (handle == nullptr || registration.destroyObject == nullptr)
        return -1;
    return registration.destroyObject(component);
}

int PluginLoader::unload()
{
    if (handle == nullptr)
        return -1;
    const int result = exitFunction != nullptr ? exitFunction() : 0;
    dlclose(handle);
    reset();
    return result;
}
