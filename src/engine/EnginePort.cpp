#include "engine/EnginePort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace EnginePort {

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

bool isFree(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // No SO_REUSEADDR: an engine that does not set it either must be able to bind after us.
    const sockaddr_in address = loopback(port);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

bool isListening(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const sockaddr_in address = loopback(port);
    // Loopback connections are answered or refused at once.
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

Choice choose(int first, int count)
{
    for (int port = first; port < first + count && port <= 65535; ++port) {
        if (!isFree(port))
            continue;
        if (port == first)
            return {port, QString()};
        const QString why = isListening(first)
            ? QStringLiteral("another program is listening on it")
            : QStringLiteral("connections that closed a moment ago still hold it");
        return {port, QStringLiteral("Morlo AI: port %1 is in use (%2), so this engine uses port %3.\n")
                          .arg(first).arg(why).arg(port)};
    }
    return {std::nullopt, QStringLiteral("Morlo AI: ports %1 to %2 are all in use by other programs.")
                              .arg(first).arg(first + count - 1)};
}

} // namespace EnginePort
