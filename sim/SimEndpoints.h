// What the agents running on a simulated guest have registered in its endpoint map.
#pragma once

#include "sim/SimGuest.h"

namespace sim {

// The registrations of the agents that run from the guest's share now, in the order each
// registered them: read from the agents' own logs (see docs/SimulatedGuests.md). Whichever
// process started an agent, every process sees it; an agent that has stopped is gone.
std::vector<SEndpoint> AgentEndpoints(const SGuest& guest);

}  // namespace sim
