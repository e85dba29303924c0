#include "model/display_format.h"

#include <QGuiApplication>
#include <QLocale>
#include <QPalette>
#include <QRegularExpression>

#include "model/named_colors.h"
#include "rpc/utf8_text.h"

namespace quorvale::model {

namespace {

// The locale's long date without the weekday and with abbreviated month names: the closest
// Qt equivalent of a medium date style ("Dec 6, 2026", "6 Dec 2026").
QString mediumDateFormat(const QLocale& locale) {
    QString format = locale.dateFormat(QLocale::LongFormat);
    static const QRegularExpression weekday(QStringLiteral("d{4}[,.]?\\s*"));
    format.remove(weekday);
    format.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    return format.trimmed();
}

// Created on first use and shared, like the formatters they stand for.
const QString& dateTimeFormat() {
    static const QString format = [] {
        QLocale locale;
        return mediumDateFormat(locale) + QLatin1Char(' ') +
               locale.timeFormat(QLocale::ShortFormat);
    }();
    return format;
}

}  // namespace

QString byteCountText(qint64 bytes) {
    // Qt says "1 bytes".
    if (bytes == 1)
        return QStringLiteral("1 byte");
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

QString dateText(const QDateTime& date) {
    return QLocale().toString(date.toLocalTime(), dateTimeFormat());
}

QString permissionString(std::uint16_t mode, bool isDirectory) {
    QString text(10, QLatin1Char('-'));
    if (isDirectory)
        text[0] = QLatin1Char('d');
    static constexpr char letters[3] = {'r', 'w', 'x'};
    for (int i = 0; i < 9; ++i) {
        if (mode & (1u << (8 - i)))
            text[i + 1] = QLatin1Char(letters[i % 3]);
    }
    return text;
}

QColor textSecondaryColor() {
    return QGuiApplication::palette().color(QPalette::PlaceholderText);
}

QString readableName(const QString& name) {
    const QByteArray text = name.toUtf8();
    return QString::fromStdString(rpc::readableName(std::string_view(text.data(), text.size())));
}

}  // namespace quorvale::model
