#include "Activation.h"

#include <QGuiApplication>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace oxlume {

namespace {

// The atoms this file uses, asked for together: one round trip to the server, not one each.
struct Atoms {
    xcb_atom_t startupBegin, startupMore, userTime, activeWindow;
};

Atoms internAtoms(xcb_connection_t *c)
{
    const char *const names[] = {"_NET_STARTUP_INFO_BEGIN", "_NET_STARTUP_INFO",
                                 "_NET_WM_USER_TIME", "_NET_ACTIVE_WINDOW"};
    xcb_intern_atom_cookie_t cookies[4];
    for (int i = 0; i < 4; ++i)
        cookies[i] = xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(names[i])), names[i]);
    xcb_atom_t atoms[4];
    for (int i = 0; i < 4; ++i) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(c, cookies[i], nullptr);
        atoms[i] = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
    }
    return {atoms[0], atoms[1], atoms[2], atoms[3]};
}

// The startup-notification protocol: the message in 20-byte pieces, the first of type
// _NET_STARTUP_INFO_BEGIN, sent to the root window from a window of the sender's own.
void sendStartupMessage(xcb_connection_t *c, xcb_window_t root, const Atoms &atoms,
                        const std::string &message)
{
    const xcb_atom_t begin = atoms.startupBegin;
    const xcb_atom_t more = atoms.startupMore;
    if (begin == XCB_ATOM_NONE || more == XCB_ATOM_NONE)
        return;
    const xcb_window_t sender = xcb_generate_id(c);
    const uint32_t overrideRedirect = 1;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, sender, root, -100, -100, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT,
                      &overrideRedirect);
    for (std::size_t at = 0; at < message.size(); at += 20) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 8;
        event.window = sender;
        event.type = at == 0 ? begin : more;
        std::memcpy(event.data.data8, message.data() + at,
                    std::min<std::size_t>(20, message.size() - at));
        xcb_send_event(c, 0, root, XCB_EVENT_MASK_PROPERTY_CHANGE,
                       reinterpret_cast<const char *>(&event));
    }
    xcb_destroy_window(c, sender);
}

// Asks the window manager to activate the window as if the user had just done so at the
// launch's time: the request a pager or a launcher makes (source indication 1 is an
// application, 2 would be a pager).
void activateOnX11(QWidget &window, const std::string &startupId)
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t *c = x11->connection();
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!screen)
        return;
    const auto id = static_cast<xcb_window_t>(window.winId());
    const std::uint32_t time = startupIdTime(startupId);
    const Atoms atoms = internAtoms(c);
    if (time != 0) {
        if (atoms.userTime != XCB_ATOM_NONE)
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, atoms.userTime, XCB_ATOM_CARDINAL, 32,
                                1, &time);
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = id;
        event.type = atoms.activeWindow;
        event.data.data32[0] = 1;
        event.data.data32[1] = time;
        if (event.type != XCB_ATOM_NONE)
            xcb_send_event(c, 0, screen->root,
                           XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                               XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                           reinterpret_cast<const char *>(&event));
    }
    sendStartupMessage(c, screen->root, atoms, startupRemoveMessage(startupId));
    xcb_flush(c);
}

} // namespace

std::uint32_t startupIdTime(std::string_view id)
{
    const std::size_t at = id.rfind("_TIME");
    if (at == std::string_view::npos)
        return 0;
    std::uint64_t time = 0;
    std::size_t digits = 0;
    for (std::size_t k = at + 5; k < id.size() && id[k] >= '0' && id[k] <= '9'; ++k, ++digits) {
        time = time * 10 + std::uint64_t(id[k] - '0');
        if (time > 0xffffffffu)
            return 0; // not a server time
    }
    return digits > 0 ? static_cast<std::uint32_t>(time) : 0;
}

std::string startupRemoveMessage(std::string_view id)
{
    std::string message = "remove: ID=\"";
    for (const char c : id) {
        if (c == '"' || c == '\\')
            message += '\\';
        message += c;
    }
    message += '"';
    message += '\0';
    return message;
}

void bringToFront(QWidget &window, const std::string &activationToken)
{
    const QString platform = QGuiApplication::platformName();
    const bool wayland = platform.startsWith(QLatin1String("wayland"));
    if (!activationToken.empty() && wayland)
        qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(activationToken));
    window.raise();
    window.activateWindow();
    // A token is good for one activation: none is left for a later one without its own (the
    // compositor would refuse it) or for the programs this one starts. The toolkit consumes
    // it only where the compositor offers activation.
    if (wayland)
        qunsetenv("XDG_ACTIVATION_TOKEN");
    if (!activationToken.empty() && platform == QLatin1String("xcb"))
        activateOnX11(window, activationToken);
}

} // namespace oxlume
