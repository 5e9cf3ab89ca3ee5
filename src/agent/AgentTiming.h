#pragma once

#include <chrono>

// The fixed times of a turn. The product uses these values; tests shorten them.
struct AgentTiming
{
    // How long the speed figure stays visible after a reply.
    std::chrono::milliseconds speedResetDelay{5000};
    // Streaming time before a speed figure is shown at all.
    std::chrono::milliseconds speedSettleTime{500};
};
