#include "xdnd_target.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace quorvale::test {
namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

}  // namespace

XdndTarget::XdndTarget(const QRect& geometry) {
    connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection))
        return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_window_t id = xcb_generate_id(connection);
    // Placed where it was asked to be: no window manager moves an override-redirect window.
    const std::uint32_t values[] = {screen->white_pixel, 1, XCB_EVENT_MASK_PROPERTY_CHANGE};
    xcb_create_window(
        connection, XCB_COPY_FROM_PARENT, id, screen->root, static_cast<std::int16_t>(geometry.x()),
        static_cast<std::int16_t>(geometry.y()), static_cast<std::uint16_t>(geometry.width()),
        static_cast<std::uint16_t>(geometry.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
        screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
        values);
    const std::uint32_t version = 5;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, atom("XdndAware"), XCB_ATOM_ATOM, 32,
                        1, &version);
    xcb_map_window(connection, id);
    xcb_flush(connection);
    window = id;
    QObject::connect(&poll, &QTimer::timeout, [this] { pump(); });
    poll.start(5);
}

XdndTarget::~XdndTarget() {
    poll.stop();
    xcb_disconnect(connection);
}

void XdndTarget::reset() {
    offeredTypes.clear();
    proposedName.clear();
    statusesSent = 0;
    earlyAnswer.reset();
    answer.reset();
    finished = false;
    asking = Asking::nothing;
}

xcb_atom_t XdndTarget::atom(const char* name) {
    const auto known = atoms.find(name);
    if (known != atoms.end())
        return known->second;
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr));
    const xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    atoms[name] = value;
    return value;
}

void XdndTarget::pump() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
        handle(event);
        std::free(event);
    }
}

void XdndTarget::handle(const xcb_generic_event_t* event) {
    switch (event->response_type & 0x7f) {
        case XCB_CLIENT_MESSAGE:
            handleMessage(*reinterpret_cast<const xcb_client_message_event_t*>(event));
            break;
        case XCB_SELECTION_NOTIFY:
            handleAnswer(*reinterpret_cast<const xcb_selection_notify_event_t*>(event));
            break;
        default:
            break;
    }
}

void XdndTarget::handleMessage(const xcb_client_message_event_t& message) {
    const std::uint32_t* data = message.data.data32;
    if (message.type == atom("XdndEnter")) {
        source = data[0];
        readTypes(message);
    } else if (message.type == atom("XdndPosition")) {
        source = data[0];
        send(source, atom("XdndStatus"), window, 1, 0, 0, atom("XdndActionCopy"));
        ++statusesSent;
        if (askBeforeDrop && !earlyAnswer && asking == Asking::nothing &&
            offeredTypes.contains(QStringLiteral("XdndDirectSave0")))
            ask(Asking::early);
    } else if (message.type == atom("XdndDrop")) {
        source = data[0];
        if (!offeredTypes.contains(QStringLiteral("XdndDirectSave0"))) {
            finish(false);
            return;
        }
        proposedName = property(source, atom("XdndDirectSave0"), false).value_or(QByteArray());
        ask(Asking::drop);
    }
}

void XdndTarget::readTypes(const xcb_client_message_event_t& enter) {
    offeredTypes.clear();
    std::vector<xcb_atom_t> types;
    if (enter.data.data32[1] & 1) {
        const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            connection,
            xcb_get_property(connection, 0, source, atom("XdndTypeList"), XCB_ATOM_ATOM, 0, 256),
            nullptr));
        if (reply && reply->format == 32) {
            const auto* values =
                static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
            types.assign(values, values + xcb_get_property_value_length(reply.get()) / 4);
        }
    } else {
        for (int i = 2; i < 5; ++i)
            if (enter.data.data32[i])
                types.push_back(enter.data.data32[i]);
    }
    for (const xcb_atom_t type : types) {
        const Reply<xcb_get_atom_name_reply_t> name(
            xcb_get_atom_name_reply(connection, xcb_get_atom_name(connection, type), nullptr));
        if (name)
            offeredTypes << QString::fromLatin1(xcb_get_atom_name_name(name.get()),
                                                xcb_get_atom_name_name_length(name.get()));
    }
}

void XdndTarget::ask(Asking when) {
    asking = when;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, source, atom("XdndDirectSave0"),
                        atom("text/plain"), 8, static_cast<std::uint32_t>(uri.size()),
                        uri.constData());
    xcb_convert_selection(connection, window, atom("XdndSelection"), atom("XdndDirectSave0"),
                          atom("QUORVALE_TEST_ANSWER"), XCB_CURRENT_TIME);
    xcb_flush(connection);
}

void XdndTarget::handleAnswer(const xcb_selection_notify_event_t& notify) {
    if (notify.requestor != window || asking == Asking::nothing)
        return;
    const QByteArray value = notify.property == XCB_ATOM_NONE
                                 ? QByteArray()
                                 : property(window, notify.property, true).value_or("?");
    const Asking was = asking;
    asking = Asking::nothing;
    if (was == Asking::early) {
        earlyAnswer = value;
        return;
    }
    answer = value;
    // As the protocol has it: "F" clears the place so that the source does not keep it.
    if (value == "F")
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, source, atom("XdndDirectSave0"),
                            atom("text/plain"), 8, 0, "");
    finish(value == "S");
}

void XdndTarget::finish(bool saved) {
    send(source, atom("XdndFinished"), window, saved ? 1 : 0,
         saved ? atom("XdndActionCopy") : xcb_atom_t{XCB_ATOM_NONE}, 0, 0);
    finished = true;
}

void XdndTarget::send(xcb_window_t to, xcb_atom_t type, std::uint32_t d0, std::uint32_t d1,
                      std::uint32_t d2, std::uint32_t d3, std::uint32_t d4) {
    union {
        xcb_client_message_event_t message;
        char bytes[32];
    } event{};
    event.message.response_type = XCB_CLIENT_MESSAGE;
    event.message.format = 32;
    event.message.window = to;
    event.message.type = type;
    event.message.data.data32[0] = d0;
    event.message.data.data32[1] = d1;
    event.message.data.data32[2] = d2;
    event.message.data.data32[3] = d3;
    event.message.data.data32[4] = d4;
    xcb_send_event(connection, 0, to, XCB_EVENT_MASK_NO_EVENT, event.bytes);
    xcb_flush(connection);
}

std::optional<QByteArray> XdndTarget::property(xcb_window_t on, xcb_atom_t name, bool remove) {
    const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection,
        xcb_get_property(connection, remove ? 1 : 0, on, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 4096),
        nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE)
        return std::nullopt;
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())),
                      xcb_get_property_value_length(reply.get()));
}

}  // namespace quorvale::test
