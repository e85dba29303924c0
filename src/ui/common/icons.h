#pragma once
// The icon table: every symbol name the views use, mapped to freedesktop icon names looked up
// with QIcon::fromTheme in the user's theme, then to an icon bundled with the app, then to the
// files of the fallback theme (Adwaita, installed with the app). Symbolic (monochrome) icons are
// preferred so that views can tint them like the symbols they stand for.

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

#include <span>

namespace quorvale::ui::icons {

struct IconEntry {
    const char* symbol;                  // the symbol name used by the views, e.g. "folder.fill"
    std::span<const char* const> names;  // freedesktop names, tried in order
    const char* bundled;                 // resource path of a bundled icon, or nullptr
};

// All entries of the table.
std::span<const IconEntry> table();

// The theme searched when the user's theme lacks a name.
inline constexpr const char* kFallbackThemeName = "Adwaita";

// Makes the installed icon themes reachable: adds the XDG icon directories to the theme search
// paths, sets the fallback theme, and picks the fallback as the theme when none is set (as on
// the offscreen platform). Idempotent; icon() calls it, the application may call it early.
void installThemeFallback();

// The icon for `symbol`; a null icon for a symbol outside the table. GUI thread only; results
// are cached per theme.
QIcon icon(const QString& symbol);

// The icon for `symbol` at `size` device-independent pixels, every opaque pixel painted `tint`
// (alpha kept), rendered for the application's device pixel ratio.
QPixmap tintedPixmap(const QString& symbol, int size, const QColor& tint);
QIcon tintedIcon(const QString& symbol, int size, const QColor& tint);

// `pixmap` with a symbolic-link emblem (a small arrow on a light disc) in its lower left corner.
QPixmap withLinkEmblem(const QPixmap& pixmap);

}  // namespace quorvale::ui::icons
