#pragma once
// The texts of a computer's information panel: title, address, versions from its
// configuration and the lines of its system summary (an untrusted answer:
// only text and number values are shown, each cut to a bounded length).
#include <QString>
#include <QVariant>
#include <QVariantMap>

class ZDComputerInfo
{
public:
    ZDComputerInfo() = delete;

    static constexpr qsizetype kMaxValueLength = 1024;
    static constexpr int kMaxSpecLines = 500;

    static QString title(const QString &name);
    // "ip:port", empty without an address.
    static QString addressText(const QString &ip, int port);
    // The client and tool suite version lines.
    static QString versionText(const QVariantMap &configDict);
    // One "key: value" line per non-empty value, keys sorted ignoring case.
    static QString specsText(const QVariant &systemSpecs);
    // State line: connected or not, with the error text of a non-zero code.
    static QString stateText(bool connected, int errorCode);
};
