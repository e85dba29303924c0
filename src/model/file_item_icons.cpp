// The icon, tint and text-file tables of FileItem. Rows are tested top to bottom; the first row
// listing the extension wins.

#include <QGuiApplication>
#include <QPalette>

#include <array>
#include <span>
#include <string_view>
#include <vector>

#include "model/file_item.h"
#include "model/named_colors.h"

namespace quorvale::model {

namespace {

using Extensions = std::vector<std::string_view>;

bool listed(std::span<const std::string_view> extensions, const QString& extension) {
    for (std::string_view candidate : extensions) {
        if (extension == QLatin1String(candidate.data(), static_cast<qsizetype>(candidate.size())))
            return true;
    }
    return false;
}

struct SymbolRow {
    const char* symbol;
    Extensions extensions;
};

const std::array<SymbolRow, 18>& symbolRows() {
    static const std::array<SymbolRow, 18> rows = {{
        {"photo", {"jpg", "jpeg", "png", "gif", "bmp", "tiff", "webp", "heic", "svg"}},
        {"film", {"mp4", "mov", "avi", "mkv", "wmv", "flv", "m4v"}},
        {"music.note", {"mp3", "wav", "aac", "flac", "ogg", "m4a", "wma"}},
        {"doc.richtext", {"pdf"}},
        {"doc.text", {"doc", "docx"}},
        {"tablecells", {"xls", "xlsx", "csv"}},
        {"rectangle.split.3x1", {"ppt", "pptx"}},
        {"chevron.left.forwardslash.chevron.right",
         {"py", "swift", "js", "ts", "c", "cpp", "h", "rs", "go", "java", "rb", "php"}},
        {"globe", {"html", "htm", "xml"}},
        {"paintbrush", {"css", "scss", "sass"}},
        {"gearshape", {"json", "yaml", "yml", "toml"}},
        {"terminal", {"sh", "bash", "zsh"}},
        {"doc.plaintext", {"txt", "md", "rtf", "log"}},
        {"archivebox", {"zip", "tar", "gz", "bz2", "xz", "7z", "rar"}},
        {"opticaldisc", {"img", "iso", "dmg"}},
        {"gearshape.2", {"conf", "cfg", "ini", "env"}},
        {"cpu", {"dtb", "dtbo"}},
        {"memorychip", {"elf"}},
    }};
    return rows;
}

struct TintRow {
    QRgb color;
    Extensions extensions;
};

const std::array<TintRow, 6>& tintRows() {
    static const std::array<TintRow, 6> rows = {{
        {namedColor(NamedColor::purple),
         {"jpg", "jpeg", "png", "gif", "bmp", "tiff", "webp", "heic", "svg"}},
        {namedColor(NamedColor::pink), {"mp4", "mov", "avi", "mkv"}},
        {namedColor(NamedColor::orange), {"mp3", "wav", "aac", "flac"}},
        {namedColor(NamedColor::red), {"pdf"}},
        {namedColor(NamedColor::green), {"py", "swift", "js", "ts", "c", "cpp", "rs", "go"}},
        {namedColor(NamedColor::brown), {"zip", "tar", "gz", "7z"}},
    }};
    return rows;
}

constexpr std::string_view textExtensions[] = {
    "txt",          "md",       "rtf",   "log",    "csv",        "tsv",       "json",
    "xml",          "yaml",     "yml",   "toml",   "plist",      "py",        "swift",
    "js",           "ts",       "jsx",   "tsx",    "c",          "cpp",       "h",
    "hpp",          "rs",       "go",    "java",   "kt",         "rb",        "php",
    "lua",          "pl",       "r",     "scala",  "clj",        "hs",        "elm",
    "ex",           "exs",      "erl",   "html",   "htm",        "css",       "scss",
    "sass",         "less",     "svg",   "sh",     "bash",       "zsh",       "fish",
    "ps1",          "bat",      "cmd",   "conf",   "cfg",        "ini",       "env",
    "properties",   "makefile", "cmake", "gradle", "dockerfile", "gitignore", "gitattributes",
    "editorconfig", "dtoverlay"};

constexpr std::string_view textFileNames[] = {"makefile", "dockerfile", "vagrantfile",
                                              "gemfile",  "rakefile",   "procfile",
                                              "readme",   "license",    "changelog"};

}  // namespace

QString FileItem::symbolName(const QString& forExtension) {
    const QString extension = forExtension.toLower();
    for (const SymbolRow& row : symbolRows()) {
        if (listed(row.extensions, extension))
            return QLatin1String(row.symbol);
    }
    return QStringLiteral("doc");
}

QString FileItem::iconName() const {
    return isDirectory ? QStringLiteral("folder.fill") : symbolName(fileExtension());
}

QColor FileItem::iconColor() const {
    if (isDirectory)
        return QColor::fromRgb(namedColor(NamedColor::accent));
    const QString extension = fileExtension();
    for (const TintRow& row : tintRows()) {
        if (listed(row.extensions, extension))
            return QColor::fromRgb(row.color);
    }
    return textSecondaryColor();
}

bool FileItem::isTextFile() const {
    const QString extension = fileExtension();
    if (listed(textExtensions, extension))
        return true;
    if (!extension.isEmpty())
        return false;
    return listed(textFileNames, name.toLower());
}

}  // namespace quorvale::model
