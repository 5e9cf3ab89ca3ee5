#pragma once

#include <QString>

#include <optional>

// Picks the port a new engine listens on. The engine opens its socket so that a second server on
// the same port shares it, and browsers may reach any local port: an engine must get a port
// that nothing else holds, or another program answers in its name.
namespace EnginePort {

struct Choice
{
    std::optional<int> port; // none when every port of the range is taken
    QString note;            // a line for the engine log when the first port was passed over
};

// The first of `count` ports from `first` on that can be bound at once.
Choice choose(int first, int count);

// True when a server socket could bind 127.0.0.1:port now, even without reusing the address
// (so neither a listener nor connections still closing hold it).
bool isFree(int port);
// True when something accepts connections on 127.0.0.1:port.
bool isListening(int port);

} // namespace EnginePort
