#pragma once
// printf-style formatting with the placeholders the suite's texts use:
// "%@" (any value as text), "%s", "%d", "%i", "%li", "%u", "%x", "%f", "%0.2f", "%%".
// Arguments are taken in order; a missing argument formats as "(null)".
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <string>

QString zdFormatList(const QString &format, const QVariantList &args);

namespace zd_detail {
inline QVariant arg(const char *s) { return s ? QVariant(QString::fromUtf8(s)) : QVariant(); }
inline QVariant arg(char *s) { return arg(static_cast<const char *>(s)); }
inline QVariant arg(const std::string &s) { return QString::fromStdString(s); }
inline QVariant arg(const QString &s) { return s; }
inline QVariant arg(const QVariant &v) { return v; }
template <typename T>
QVariant arg(const T &v) { return QVariant::fromValue(v); }
}

template <typename... Args>
QString zdFormat(const QString &format, const Args &...args)
{
    return zdFormatList(format, QVariantList{zd_detail::arg(args)...});
}
