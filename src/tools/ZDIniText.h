#pragma once
// Preference files of "[group]" and "entry=value" lines, as KDE's and many Qt
// applications write them: one entry read, or set or removed with every other line
// kept byte for byte. Localised entries ("entry[de]=") are never touched.
#include <QByteArray>
#include <QString>

#include <optional>

namespace ZDIniText {

// The entry's last value in the group, escapes undone and a leading $HOME expanded
// where the entry is marked "[$e]"; nullopt when absent.
std::optional<QString> value(const QByteArray &text, const QString &group, const QString &entry, const QString &home);
// The text with the entry set to `newValue` (nullopt: removed). The first line of the
// entry is replaced in place, later ones dropped; a missing entry goes after the
// group's last line, a missing group at the end.
QByteArray withValue(const QByteArray &text, const QString &group, const QString &entry, const std::optional<QString> &newValue);

} // namespace ZDIniText
