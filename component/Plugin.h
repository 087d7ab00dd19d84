#pragma once

#include "Export.h"
#include "PluginRecords.h"

extern "C" {
// The one entry point a host calls after loading the library.
HAUL_EXPORT PluginExitFunc PF_initPlugin(const PluginPlatformServices* services);
}

void* createHaulwright(void* parameters);
std::int32_t destroyHaulwright(void* object);
std::int32_t exitPlugin();
