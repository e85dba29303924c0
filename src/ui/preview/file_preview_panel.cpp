#include "ui/preview/file_preview_panel.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/preview/preview_format.h"
#include "ui/common/elided_label.h"
#include "ui/common/icons.h"
#include "ui/common/progress_spinner.h"
#include "ui/common/theme.h"

namespace quorvale::ui {
namespace {

constexpr int kPreviewMaxHeight = 300;

QWidget* centred(const QString& symbol, const QColor& tint, QWidget* top, const QString& text) {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->addStretch(1);
    if (top) {
        column->addWidget(top, 0, Qt::AlignHCenter);
    } else {
        auto* icon = new QLabel;
        icon->setPixmap(icons::tintedPixmap(symbol, 32, tint));
        column->addWidget(icon, 0, Qt::AlignHCenter);
    }
    auto* label = theme::styledLabel(text, theme::caption(), theme::textSecondary());
    label->setAlignment(Qt::AlignCenter);
    column->addWidget(label);
    column->addStretch(1);
    return page;
}

QPlainTextEdit* monoView(const QColor& color) {
    auto* view = new QPlainTextEdit;
    view->setReadOnly(true);
    view->setFont(theme::mono());
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setMaximumHeight(kPreviewMaxHeight);
    view->setFrameShape(QFrame::NoFrame);
    QPalette palette = view->palette();
    palette.setColor(QPalette::Base, theme::surfaceSunken());
    palette.setColor(QPalette::Text, color);
    view->setPalette(palette);
    return view;
}

}  // namespace

FilePreviewPanel::FilePreviewPanel(app::FilePreviewViewModel* previewVM, QWidget* parent)
    : QWidget(parent), previewVM(previewVM) {
    setMinimumWidth(240);
    setMaximumWidth(360);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 10, 12, 10);
    column->addWidget(theme::styledLabel(QStringLiteral("Preview"), theme::captionMedium(),
                                         theme::textTertiary()));
    stack = new QStackedWidget;
    column->addWidget(stack, 1);

    stack->addWidget(centred(QStringLiteral("doc.text.magnifyingglass"), theme::textTertiary(),
                             nullptr, QStringLiteral("Select a file to preview")));
    auto* spinner = new ProgressSpinner;
    stack->addWidget(centred(QString(), QColor(), spinner, QStringLiteral("Loading preview…")));

    itemPage = new QWidget;
    auto* itemColumn = new QVBoxLayout(itemPage);
    itemColumn->setContentsMargins(0, 0, 0, 0);
    itemColumn->setSpacing(10);
    image = new QLabel;
    image->setAlignment(Qt::AlignCenter);
    image->setMaximumHeight(kPreviewMaxHeight);
    image->setMinimumHeight(120);
    image->setAutoFillBackground(true);
    QPalette sunken = image->palette();
    sunken.setColor(QPalette::Window, theme::surfaceSunken());
    image->setPalette(sunken);
    text = monoView(theme::textPrimary());
    itemColumn->addWidget(image);
    itemColumn->addWidget(text);

    hexSection = new QWidget;
    auto* hexColumn = new QVBoxLayout(hexSection);
    hexColumn->setContentsMargins(0, 0, 0, 0);
    auto* hexHeader = new QHBoxLayout;
    auto* hexSymbol = new QLabel;
    hexSymbol->setPixmap(icons::tintedPixmap(QStringLiteral("number"), 12, theme::textSecondary()));
    hexHeader->addWidget(hexSymbol);
    hexHeader->addWidget(theme::styledLabel(QStringLiteral("Hex Viewer"), theme::captionMedium(),
                                            theme::textSecondary()));
    hexHeader->addStretch(1);
    hexCount = theme::styledLabel(QString(), theme::caption(), theme::textTertiary());
    hexHeader->addWidget(hexCount);
    hexColumn->addLayout(hexHeader);
    hex = monoView(theme::textSecondary());
    hex->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    hexColumn->addWidget(hex);
    itemColumn->addWidget(hexSection);

    auto* infoBox = new QWidget;
    info = new QFormLayout(infoBox);
    info->setContentsMargins(0, 4, 0, 0);
    info->setLabelAlignment(Qt::AlignLeft);
    info->setRowWrapPolicy(QFormLayout::WrapLongRows);
    itemColumn->addWidget(infoBox);
    itemColumn->addStretch(1);
    auto* scroll = new QScrollArea;
    scroll->setWidget(itemPage);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    stack->addWidget(scroll);

    connect(previewVM, &app::FilePreviewViewModel::previewChanged, this,
            &FilePreviewPanel::refresh);
    connect(previewVM, &app::FilePreviewViewModel::isLoadingPreviewChanged, this,
            &FilePreviewPanel::refresh);
    refresh();
}

QString FilePreviewPanel::kindText(const model::FileItem& item) {
    if (item.isSymlink)
        return QStringLiteral("Symbolic link");
    if (item.isDirectory)
        return QStringLiteral("Folder");
    const QString extension = item.fileExtension();
    return extension.isEmpty() ? QStringLiteral("Document")
                               : extension.toUpper() + QStringLiteral(" File");
}

QList<std::pair<QString, QString>> FilePreviewPanel::information() const {
    QList<std::pair<QString, QString>> rows;
    for (int row = 0; row < info->rowCount(); ++row) {
        auto* label = qobject_cast<QLabel*>(info->itemAt(row, QFormLayout::LabelRole)->widget());
        auto* value =
            qobject_cast<ElidedLabel*>(info->itemAt(row, QFormLayout::FieldRole)->widget());
        if (label && value)
            rows.append({label->text(), value->fullText()});
    }
    return rows;
}

void FilePreviewPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (hexSection->isVisible())
        fitHex();
}

void FilePreviewPanel::fitHex() {
    const QByteArray bytes = previewVM ? previewVM->rawData().value_or(QByteArray()) : QByteArray();
    // The width rows may take: the panel's, less its margins, the viewer's own margins and a
    // vertical scroll bar.
    const int margins = 2 * static_cast<int>(hex->document()->documentMargin()) + 2;
    const int available =
        hex->isVisible() ? hex->viewport()->width() - margins
                         : width() - 24 - margins - hex->verticalScrollBar()->sizeHint().width();
    QFont font = theme::mono();
    const int largest = font.pixelSize();
    QString rows;
    for (const bool characters : {true, false}) {
        const QString candidate = app::formatCompactHexDump(bytes, characters);
        const QString longest = candidate.section(QLatin1Char('\n'), 0, 0);
        int size = largest;
        for (; size > kHexMinPixelSize; --size) {
            font.setPixelSize(size);
            if (QFontMetrics(font).horizontalAdvance(longest) <= available)
                break;
        }
        font.setPixelSize(size);
        rows = candidate;
        hexWithCharacters = characters;
        if (QFontMetrics(font).horizontalAdvance(longest) <= available)
            break;
    }
    hex->setFont(font);
    hex->setPlainText(rows);
}

void FilePreviewPanel::refresh() {
    if (!previewVM)
        return;
    const auto item = previewVM->selectedItem();
    if (previewVM->isLoadingPreview()) {
        stack->setCurrentIndex(1);
        return;
    }
    if (!item) {
        stack->setCurrentIndex(0);
        return;
    }
    stack->setCurrentIndex(2);

    const auto picture = previewVM->previewImage();
    const auto previewText = previewVM->previewText();
    const auto dump = previewVM->hexDump();
    if (item->isDirectory) {
        image->setPixmap(icons::tintedPixmap(QStringLiteral("folder.fill"), 64, theme::accent()));
    } else if (picture && !picture->isNull()) {
        const int width = std::max(120, this->width() - 24);
        image->setPixmap(QPixmap::fromImage(picture->scaled(
            width, kPreviewMaxHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    } else if (!previewText && !dump) {
        image->setPixmap(icons::tintedPixmap(item->iconName(), 64, item->iconColor()));
    }
    image->setVisible(item->isDirectory || (picture && !picture->isNull()) ||
                      (!previewText && !dump));
    text->setVisible(previewText.has_value());
    if (previewText)
        text->setPlainText(*previewText);
    hexSection->setVisible(dump.has_value());
    if (dump) {
        fitHex();
        const auto raw = previewVM->rawData();
        const qsizetype shown =
            std::min<qsizetype>(raw ? raw->size() : 0, app::FilePreviewViewModel::hexBytes);
        hexCount->setText(shown == 1 ? QStringLiteral("1 byte")
                                     : QStringLiteral("%1 bytes").arg(shown));
    }

    while (info->rowCount() > 0)
        info->removeRow(0);
    const auto add = [this](const QString& label, const QString& value) {
        auto* valueLabel = elidedLabel(value, theme::body(), theme::textPrimary());
        valueLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
        info->addRow(theme::styledLabel(label, theme::caption(), theme::textTertiary()),
                     valueLabel);
    };
    add(QStringLiteral("Kind"), kindText(*item));
    add(QStringLiteral("Size"), item->isDirectory ? QStringLiteral("--") : item->sizeText());
    add(QStringLiteral("Modified"), item->dateText());
    add(QStringLiteral("Permissions"), item->permissionText());
    add(QStringLiteral("Owner"), item->owner);
    add(QStringLiteral("Path"), item->path);
    if (item->isSymlink)
        add(QStringLiteral("Link Target"), item->symlinkTarget.value_or(QString()));
}

}  // namespace quorvale::ui
