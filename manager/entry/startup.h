// The start-up the plug-in and the program share.
#pragma once

// Hands the cache what it reports to (the watcher's start, the change
// signals, the pushes to the adapters); the first call does it, later ones
// do nothing.
void WireLayers();

// Wires the layers, then protects, loads and converts the configuration.
// Nothing here stops the start-up.
void RunStartupMaintenance();
