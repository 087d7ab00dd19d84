#pragma once

// Symbols the plugin library shows to its host; everything else stays hidden.
#define HAUL_EXPORT __attribute__((visibility("default")))
