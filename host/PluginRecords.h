#pragma once

#include <cstddef>
#include <cstdint>

// The two records that cross between the host's plugin loader and a plugin.
extern "C" {

typedef void* (*PluginCreateFunc)(void* parameters);
typedef std::int32_t (*PluginDestroyFunc)(void* object);
typedef std::int32_t (*PluginExitFunc)();

struct PluginObjectRegistration
{
    std::int32_t apiVersionMajor;
    std::int32_t apiVersionMinor;
    PluginCreateFunc createObject;
    PluginDestroyFunc destroyObject;
    std::int32_t languageCode;
};

typedef std::int32_t (*PluginRegisterFunc)(const char* objectType, const PluginObjectRegistration* registration);

struct PluginPlatformServices
{
    void* reserved;
    PluginRegisterFunc registerObject;
};

typedef PluginExitFunc (*PluginInitFunc)(const PluginPlatformServices* services);
}

static_assert(offsetof(PluginPlatformServices, registerObject) == 8, "host record layout");
static_assert(offsetof(PluginObjectRegistration, apiVersionMajor) == 0, "registration layout");
static_assert(offsetof(PluginObjectRegistration, apiVersionMinor) == 4, "registration layout");
static_assert(offsetof(PluginObjectRegistration, createObject) == 8, "registration layout");
static_assert(offsetof(PluginObjectRegistration, destroyObject) == 16, "registration layout");
static_assert(offsetof(PluginObjectRegistration, languageCode) == 24, "registration layout");
