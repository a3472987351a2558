// The simulated guests' remote registry and server information. The seam's registry calls
// and NetServerGetInfo forward here after injected failures are applied; results as the
// Windows functions.
//
// A guest's registry holds the "reg" values of its description, below HKEY_LOCAL_MACHINE; a
// key exists when a value lies in it or below it. Values are served exactly as written, so a
// wrong type, an odd length or a missing terminating zero reaches the caller unchanged.
#pragma once

#include "sim/SimGuest.h"

#include <lm.h>

namespace sim {

// guest is the guest that machineName names, null when no guest answers to it.
LSTATUS RegConnect(const GuestPtr& guest, LPCWSTR machineName, HKEY key, PHKEY result);
LSTATUS RegOpenKey(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegQueryValue(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);
LSTATUS RegClose(HKEY key);

// The guest a key of this simulation belongs to (for injected failures), or null.
GuestPtr RegKeyGuest(HKEY key);

// Keys of the simulated registries still open in this process.
unsigned RegOpenKeyCount();

// Buffers are allocated with NetApiBufferAllocate; the seam frees them with NetApiBufferFree.
NET_API_STATUS ServerGetInfo(const GuestPtr& guest, LMSTR serverName, DWORD level,
                             LPBYTE* buffer);

}  // namespace sim
