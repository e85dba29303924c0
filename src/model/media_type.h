#pragma once
// MediaType: the kind of a removable medium. Raw values equal the case names; building one
// from any other raw string yields nothing.

#include <QString>

#include <optional>

namespace quorvale::model {

enum class MediaType { sdCard, usbDrive, unknown };

QString rawValue(MediaType type);
std::optional<MediaType> mediaTypeFromRaw(const QString& raw);

}  // namespace quorvale::model
