#pragma once
// DirectSave: the source side of the X Direct Save protocol (XdndDirectSave0) for one drag of
// one entry. The drag offers the type "XdndDirectSave0" and, once a target has answered it,
// the entry's name in the XdndDirectSave0 property of the drag's source window. A file manager
// that takes part writes there the file:// URI it wants the entry saved to and asks for the
// selection in the target "XdndDirectSave0"; the entry is then exported to that very place,
// after the drop, with the browser's progress, and the answer is "S" (saved), "F" (not a place
// on this computer: the target may ask for the file URLs instead) or "E" (refused or failed).
// A request before the button that drags is released is refused: nothing is written mid-drag.
// Only on the xcb platform; elsewhere available() is false and the drag offers file URLs
// alone. GUI thread only.

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <functional>

namespace quorvale::ui {

// Where a target asks for the entry, read from the URI it wrote.
struct DirectSavePlace {
    enum class Verdict {
        local,      // a folder of this computer and a name in it
        elsewhere,  // another host or scheme: not ours to write ("F")
        invalid,    // malformed or evasive (relative, "." or "..", NUL, bad escapes): "E"
    };
    Verdict verdict = Verdict::invalid;
    QString folder;  // absolute, without "." or ".." parts
    QString name;    // a plain name
};

// Reads `uri` as a file URI of this computer: "file:" with no host, "localhost" or
// `hostName`, an absolute path, percent escapes decoded once into UTF-8 bytes.
DirectSavePlace directSavePlace(const QByteArray& uri, const QString& hostName);

class DirectSave : public QObject, public QAbstractNativeEventFilter {
public:
    static inline const QString format = QStringLiteral("XdndDirectSave0");
    // Exports the entry as `name` into `folder`; true when it was written there (or beside it
    // under a free name, when the user chose to keep both).
    using Save = std::function<QCoro::Task<bool>(QString folder, QString name)>;

    DirectSave(QString proposedName, Save save, QObject* parent = nullptr);
    ~DirectSave() override;

    // Whether drags take part here (the xcb platform).
    static bool available();

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

protected:
    // Sees the release that drops (before the drag does).
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Request {
        std::uint32_t requestor = 0;
        std::uint32_t selection = 0;
        std::uint32_t target = 0;
        std::uint32_t property = 0;
        std::uint32_t time = 0;
    };
    void announce();
    void take(const Request& request);
    static QCoro::Task<void> saveAndAnswer(Save save, DirectSavePlace place, Request request);
    static void answer(const Request& request, char code);

    QString proposedName;
    Save save;
    std::uint32_t directSaveAtom = 0;
    std::uint32_t selectionAtom = 0;
    std::uint32_t statusAtom = 0;
    std::uint32_t textAtom = 0;
    std::uint32_t sourceWindow = 0;  // known once a target answered the drag
    bool released = false;           // the button that dragged is up: the drop is done
    bool taken = false;
};

}  // namespace quorvale::ui
