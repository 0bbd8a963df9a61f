// The endpoints a test runs on, found in the open plug's endpoint table by the
// configured numbers and transfer type. Shared by the loopback and the benchmark.
#pragma once
#include <atomic>

class UsbEndpoint;

// Borrowed from the plug's device object; valid until the plug is reopened.
extern std::atomic<UsbEndpoint*> TestInEndpoint;
extern std::atomic<UsbEndpoint*> TestOutEndpoint;

// True when at least one of the two was found; the caller checks the one it needs.
bool FindTestEndpoints();
