#include "ui/browser/direct_save.h"

#include <QEvent>
#include <QGuiApplication>
#include <QStringDecoder>
#include <QSysInfo>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "fileops/fileops_log.h"

namespace quorvale::ui {

using fileops::lcFileOps;

namespace {

// A URI longer than this is refused without being read.
constexpr std::uint32_t maxUriBytes = 16 * 1024;

xcb_connection_t* connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

xcb_atom_t intern(xcb_connection_t* c, const char* name) {
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// The bytes `path` stands for, its escapes decoded once; nothing when an escape is broken or
// stands for "/", or a byte is not one a URI path may hold as it is.
std::optional<QByteArray> decodedPath(const QByteArray& path) {
    QByteArray bytes;
    bytes.reserve(path.size());
    for (qsizetype i = 0; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (c < 0x20 || c == 0x7f || c == '?' || c == '#')
            return std::nullopt;
        if (c != '%') {
            bytes += static_cast<char>(c);
            continue;
        }
        const int high = i + 2 < path.size() ? hexValue(path[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(path[i + 2]) : -1;
        // An escaped "/" would hide a separator (and "..") from the checks of the parts.
        if (low < 0 || high * 16 + low == '/')
            return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return bytes;
}

// A target's URI as the log shows it: control and non-ASCII bytes escaped.
QByteArray shown(const QByteArray& uri) {
    QByteArray text;
    for (const char c : uri) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f)
            text += '%' + QByteArray::number(byte, 16).rightJustified(2, '0').toUpper();
        else
            text += c;
    }
    return text;
}

}  // namespace

DirectSavePlace directSavePlace(const QByteArray& uri, const QString& hostName) {
    using Verdict = DirectSavePlace::Verdict;
    DirectSavePlace place;
    QByteArray text = uri;
    // Some targets end the property with a NUL or a line break.
    while (text.endsWith('\0') || text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    const qsizetype colon = text.indexOf(':');
    if (colon <= 0)
        return place;
    for (qsizetype i = 0; i < colon; ++i)
        if (!isSchemeChar(text[i]))
            return place;
    if (text.left(colon).toLower() != "file") {
        place.verdict = Verdict::elsewhere;
        return place;
    }
    QByteArray path = text.mid(colon + 1);
    if (path.startsWith("//")) {
        const qsizetype slash = path.indexOf('/', 2);
        if (slash < 0)
            return place;
        const QString host = QString::fromUtf8(path.mid(2, slash - 2));
        if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0 &&
            host.compare(hostName, Qt::CaseInsensitive) != 0) {
            place.verdict = Verdict::elsewhere;
            return place;
        }
        path = path.mid(slash);
    }
    if (!path.startsWith('/'))
        return place;
    const std::optional<QByteArray> bytes = decodedPath(path);
    if (!bytes || bytes->contains('\0'))
        return place;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8(*bytes);
    if (utf8.hasError())
        return place;
    QStringList parts = decoded.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty() || decoded.endsWith(QLatin1Char('/')))
        return place;
    for (const QString& part : parts)
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            return place;
    place.name = parts.takeLast();
    place.folder = QLatin1Char('/') + parts.join(QLatin1Char('/'));
    place.verdict = Verdict::local;
    return place;
}

DirectSave::DirectSave(QString proposedName, Save save, QObject* parent)
    : QObject(parent), proposedName(std::move(proposedName)), save(std::move(save)) {
    xcb_connection_t* c = connection();
    if (!c)
        return;
    directSaveAtom = intern(c, "XdndDirectSave0");
    selectionAtom = intern(c, "XdndSelection");
    statusAtom = intern(c, "XdndStatus");
    textAtom = intern(c, "text/plain");
    if (QCoreApplication* app = QCoreApplication::instance())
        app->installNativeEventFilter(this);
}

DirectSave::~DirectSave() {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->removeNativeEventFilter(this);
        app->removeEventFilter(this);
    }
    xcb_connection_t* c = connection();
    if (c && sourceWindow) {
        xcb_delete_property(c, sourceWindow, directSaveAtom);
        xcb_flush(c);
    }
}

bool DirectSave::available() {
    return connection() != nullptr;
}

bool DirectSave::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t" || !directSaveAtom)
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    switch (event->response_type & 0x7f) {
        case XCB_CLIENT_MESSAGE: {
            // A target has answered the drag, so the drag runs and the source window owns the
            // drag's selection: the name goes there before any drop can reach the target.
            const auto* status = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (status->type == statusAtom && !sourceWindow)
                announce();
            return false;  // the drag reads the answer too
        }
        case XCB_SELECTION_REQUEST: {
            const auto* request = reinterpret_cast<const xcb_selection_request_event_t*>(event);
            if (!sourceWindow || request->owner != sourceWindow ||
                request->selection != selectionAtom || request->target != directSaveAtom)
                return false;
            take({request->requestor, request->selection, request->target, request->property,
                  request->time});
            return true;
        }
        default:
            return false;
    }
}

void DirectSave::announce() {
    xcb_connection_t* c = connection();
    const Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selectionAtom), nullptr));
    if (!owner || owner->owner == XCB_NONE)
        return;
    sourceWindow = owner->owner;
    // Installed after the drag's own filter, so called before it: the release that drops is
    // seen here first.
    QCoreApplication::instance()->installEventFilter(this);
    const QByteArray name = proposedName.toUtf8();
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, sourceWindow, directSaveAtom, textAtom, 8,
                        static_cast<std::uint32_t>(name.size()), name.constData());
    xcb_flush(c);
}

bool DirectSave::eventFilter(QObject*, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease) {
        released = true;
        QCoreApplication::instance()->removeEventFilter(this);
    }
    return false;
}

void DirectSave::take(const Request& request) {
    // One save per drag, and only after the drop: a request while the drag still runs is
    // refused.
    if (taken || !released) {
        qCWarning(lcFileOps, "Refused a direct save request %s",
                  taken ? "after the first" : "before the drop");
        answer(request, 0);
        return;
    }
    taken = true;
    xcb_connection_t* c = connection();
    const Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c,
                               xcb_get_property(c, 0, sourceWindow, directSaveAtom,
                                                XCB_GET_PROPERTY_TYPE_ANY, 0, maxUriBytes / 4),
                               nullptr));
    if (!reply || reply->format != 8 || reply->bytes_after > 0) {
        qCWarning(lcFileOps, "Refused a direct save: no readable place");
        answer(request, 'E');
        return;
    }
    const QByteArray uri(static_cast<const char*>(xcb_get_property_value(reply.get())),
                         xcb_get_property_value_length(reply.get()));
    const DirectSavePlace place = directSavePlace(uri, QSysInfo::machineHostName());
    switch (place.verdict) {
        case DirectSavePlace::Verdict::elsewhere:
            qCInfo(lcFileOps, "Direct save to %s is not on this computer", shown(uri).constData());
            answer(request, 'F');
            return;
        case DirectSavePlace::Verdict::invalid:
            qCWarning(lcFileOps, "Refused a direct save to %s", shown(uri).constData());
            answer(request, 'E');
            return;
        case DirectSavePlace::Verdict::local:
            saveAndAnswer(save, place, request);
            return;
    }
}

QCoro::Task<void> DirectSave::saveAndAnswer(Save save, DirectSavePlace place, Request request) {
    bool saved = false;
    try {
        saved = save && co_await save(place.folder, place.name);
    } catch (const std::exception& error) {
        qCWarning(lcFileOps, "Direct save failed: %s", error.what());
    }
    answer(request, saved ? 'S' : 'E');
}

void DirectSave::answer(const Request& request, char code) {
    xcb_connection_t* c = connection();
    if (!c)
        return;
    // Clients of the old conventions name no property: the answer goes under the target.
    const xcb_atom_t property = request.property ? request.property : request.target;
    if (code)
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_STRING,
                            8, 1, &code);
    // An event sent is always 32 bytes long.
    union {
        xcb_selection_notify_event_t notify;
        char bytes[32];
    } event{};
    event.notify.response_type = XCB_SELECTION_NOTIFY;
    event.notify.time = request.time;
    event.notify.requestor = request.requestor;
    event.notify.selection = request.selection;
    event.notify.target = request.target;
    event.notify.property = code ? property : xcb_atom_t{XCB_ATOM_NONE};
    xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, event.bytes);
    xcb_flush(c);
}

}  // namespace quorvale::ui
