#pragma once
// The suite's values (see ZDPropertyList.h) on the session bus, both ways.
//
// Wire form: text "s", integer "x", real "d", bool "b", data "ay", array "av",
// dictionary "a{sv}". D-Bus has neither dates nor a null, so both travel as the
// tagged structure "(sx)": ("date", milliseconds since the epoch, UTC) or ("none", 0).
//
// Whatever arrives is untrusted: other integer widths, "as" and "a{ss}" and the like
// are accepted; anything else (non-text keys, object paths, file descriptors, unknown
// structures, nesting deeper than kMaxDepth, more than kMaxValues values) is left out
// and counted, never a crash.
#include <QString>
#include <QVariant>

class ZDDBusValue
{
public:
    // Each level costs up to three of the 64 levels a D-Bus message may nest.
    static constexpr int kMaxDepth = 20;
    static constexpr int kMaxValues = 200000;
    static constexpr int kMaxTextLength = 16 * 1024 * 1024;

    ZDDBusValue() = delete;

    // A value ready to be a QDBusMessage argument; false and a reason when part of
    // it cannot travel (unsupported type, text with NUL, invalid date, too deep).
    static bool toWire(const QVariant &value, QVariant *wire, QString *error = nullptr);
    static bool listToWire(const QVariantList &values, QVariantList *wire, QString *error = nullptr);

    // One received argument (QDBusArgument, QDBusVariant or a basic value).
    // Values that cannot be represented are dropped and counted in *dropped; an
    // argument that is wholly unreadable gives an invalid QVariant.
    static QVariant fromWire(const QVariant &wire, int *dropped = nullptr);
};
