#include "tools/ClientWindow.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

using Connection = std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)>;

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 1, uint16_t(qstrlen(name)), name);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The property's value, or none when the window does not carry it.
std::optional<QByteArray> property(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t name)
{
    // Any type: a client list may be typed WINDOW or CARDINAL depending on who wrote it.
    constexpr uint32_t longestValue = 1 << 16; // in 32-bit units
    const xcb_get_property_cookie_t cookie =
        xcb_get_property(connection, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, longestValue);
    const std::unique_ptr<xcb_get_property_reply_t, decltype(&free)> reply(
        xcb_get_property_reply(connection, cookie, nullptr), free);
    if (!reply || reply->type == XCB_ATOM_NONE)
        return std::nullopt;
    return QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())),
                      xcb_get_property_value_length(reply.get()));
}

template <typename Number>
QList<Number> numbers(const QByteArray &bytes)
{
    QList<Number> values(bytes.size() / qsizetype(sizeof(Number)));
    memcpy(values.data(), bytes.constData(), size_t(values.size()) * sizeof(Number));
    return values;
}

} // namespace

std::optional<QList<ClientWindow>> ClientWindow::listed()
{
    if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        return std::nullopt;
    int screenNumber = 0;
    const Connection connection(xcb_connect(nullptr, &screenNumber), xcb_disconnect);
    if (xcb_connection_has_error(connection.get()))
        return std::nullopt;
    xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screenNumber && screen.rem; ++i)
        xcb_screen_next(&screen);
    if (!screen.rem)
        return std::nullopt;

    const std::optional<QByteArray> clientList =
        property(connection.get(), screen.data->root, atom(connection.get(), "_NET_CLIENT_LIST"));
    if (!clientList)
        return std::nullopt;
    const xcb_atom_t pidAtom = atom(connection.get(), "_NET_WM_PID");
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);

    QList<ClientWindow> windows;
    for (const xcb_window_t window : numbers<uint32_t>(*clientList)) {
        // A window's pid counts only on the computer the window says it runs on; another
        // machine's pid may name any process here.
        const auto machine = property(connection.get(), window, XCB_ATOM_WM_CLIENT_MACHINE);
        const auto pid = property(connection.get(), window, pidAtom);
        const auto wmClass = property(connection.get(), window, XCB_ATOM_WM_CLASS);
        if (!machine || QByteArray(machine->constData()) != host || !pid || pid->size() != 4 || !wmClass)
            continue;
        const QList<QByteArray> names = wmClass->split('\0');
        windows.append({pid_t(numbers<uint32_t>(*pid).first()), QString::fromLatin1(names.value(0)),
                        QString::fromLatin1(names.value(1))});
    }
    return windows;
}
