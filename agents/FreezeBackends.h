#pragma once
// The freeze backends of the VSS support plugin. The shipped plugin drives the guest's volume
// shadow copy service; the plugin's test build freezes nothing and does what a settings file
// beside the agent says, so that tests can walk every state over real RPC.

#include <memory>
#include <string>

#include "agents/FreezeControl.h"

namespace agent
{
// The platform's volume shadow copy requestor, loaded when a freeze starts: a guest (or a
// plugin build) without it fails the freeze with the platform's own error.
std::unique_ptr<IFreezeBackend> CreateShadowCopyBackend();

// Test builds only. Reads "SimulatedFreeze.txt" in `agentFolder` at every freeze:
//   prepare_ms = 200                   time spent preparing
//   prepare = hold                     preparing until this line is gone from the file
//   error = 0x80042306 | description   the freeze fails with this code and text
//   max_frozen_ms = 500                the freeze ends by itself after this long
std::unique_ptr<IFreezeBackend> CreateSimulatedBackend(const std::wstring& agentFolder);
}
