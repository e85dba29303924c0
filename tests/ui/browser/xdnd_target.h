#pragma once
// XdndTarget: a window on an X connection of its own that takes drops the way a file manager
// with direct save does. It accepts every position; on the drop, when the drag offers
// "XdndDirectSave0", it reads the proposed name from the source window's XdndDirectSave0
// property, writes `uri` there, asks for the selection in the target XdndDirectSave0, keeps
// the answer and finishes the drag. Its events are read on a timer of the test's event loop,
// so it answers while the browser runs a drag.

#include <QByteArray>
#include <QRect>
#include <QStringList>
#include <QTimer>

#include <xcb/xcb.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvale::test {

class XdndTarget {
public:
    explicit XdndTarget(const QRect& geometry);
    ~XdndTarget();
    XdndTarget(const XdndTarget&) = delete;
    XdndTarget& operator=(const XdndTarget&) = delete;

    bool isReady() const { return window != 0; }

    QByteArray uri;              // the place the drop asks for
    bool askBeforeDrop = false;  // also asks on the first position, as no target should

    // What the last drag showed. An answer is empty when the request was refused (no property).
    QStringList offeredTypes;
    QByteArray proposedName;
    int statusesSent = 0;
    std::optional<QByteArray> earlyAnswer;
    std::optional<QByteArray> answer;
    bool finished = false;

    // Forgets what the last drag showed.
    void reset();

private:
    enum class Asking { nothing, early, drop };
    xcb_atom_t atom(const char* name);
    void pump();
    void handle(const xcb_generic_event_t* event);
    void handleMessage(const xcb_client_message_event_t& message);
    void handleAnswer(const xcb_selection_notify_event_t& notify);
    void readTypes(const xcb_client_message_event_t& enter);
    void ask(Asking when);
    void send(xcb_window_t to, xcb_atom_t type, std::uint32_t d0, std::uint32_t d1,
              std::uint32_t d2, std::uint32_t d3, std::uint32_t d4);
    void finish(bool saved);
    std::optional<QByteArray> property(xcb_window_t on, xcb_atom_t name, bool remove);

    xcb_connection_t* connection = nullptr;
    xcb_window_t window = 0;
    xcb_window_t source = 0;
    Asking asking = Asking::nothing;
    std::map<std::string, xcb_atom_t> atoms;
    QTimer poll;
};

}  // namespace quorvale::test
