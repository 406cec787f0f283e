#pragma once
// Offscreen screenshots for the documentation: a widget saved into
// KESTRA_SCREENSHOT_DIR when that is set; true when not asked for or saved.
#include <QDir>
#include <QWidget>

namespace zdtest {

inline bool saveScreenshot(QWidget &widget, const char *name)
{
    const QString dir = qEnvironmentVariable("KESTRA_SCREENSHOT_DIR");
    return dir.isEmpty() || (QDir().mkpath(dir) && widget.grab().save(dir + QLatin1Char('/') + QLatin1String(name)));
}

} // namespace zdtest
