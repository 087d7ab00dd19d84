#include "Plugin.h"

#include "Haulwright.h"

void* createHaulwright(void* /*parameters*/)
{
    IComponent* component = new Haulwright();
    return component;
}

std::int32_t destroyHaulwright(void* object)
{
    if (object == nullptr)
        return -1;
    delete static_cast<IComponent*>(object);
    return 0;
}

std::int32_t exitPlugin() { return 0; }

extern "C" PluginExitFunc PF_initPlugin(const PluginPlatformServices* services)
{
    PluginObjectRegistration registration;
    registration.apiVersionMajor = 1;
    registration.apiVersionMinor = 0;
    registration.createObject = &createHaulwright;
    registration.destroyObject = &destroyHaulwright;
    registration.languageCode = 1;
    if (services->registerObject("Haulwright", &registration) < 0)
        return nullptr;
    return &exitPlugin;
}
