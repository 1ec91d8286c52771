// The start-up the plug-in and the program share.
#pragma once

class AdapterManager;
class ConfigManager;
class SarvService;

// Hands `cache` what it reports to (the watcher's start, the change
// signals, the pushes to `adapters`); the service object does it when it
// is made.
void WireLayers(ConfigManager& cache, AdapterManager& adapters);

// Protects, loads and converts the configuration of `service`. Nothing
// here stops the start-up.
void RunStartupMaintenance(SarvService& service);
