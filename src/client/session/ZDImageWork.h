#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>

// Decoding, scaling and encoding images needs the graphics library, which an agent without a
// display should not map for the few moments a console asks for an icon: the work lives in a
// module loaded on first use.

// What the module implements (entry point "zdImageBackend", C linkage, resolved by name).
struct ZDImageBackend
{
    // PNG of the image in data scaled to width x height; empty when it cannot be decoded.
    QByteArray (*scaledPng)(const QByteArray &data, int width, int height);
    // PNG of the image file scaled to side x side; empty when unreadable or a side is over maxSide.
    QByteArray (*iconFilePng)(const QString &path, int side, int maxSide);
    // PNG of a plain rounded tile, side x side, for tools that ship no icon.
    QByteArray (*genericIconPng)(int side);
};
using ZDImageBackendEntry = const ZDImageBackend *(*)();

namespace ZDImageWork {
// Each returns empty when the module cannot be loaded (said once in the log).
QByteArray scaledPng(const QByteArray &data, const QSize &size);
QByteArray iconFilePng(const QString &path, int side, int maxSide);
QByteArray genericIconPng(int side);

// Programs that run agents in-process link the image work in and hand it over here.
void useBackend(const ZDImageBackend *backend);
}
