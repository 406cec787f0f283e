#pragma once
// The program's own application folder ("<X>.app/Contents/MacOS/<exe>") when it
// runs from one, and the program's own user settings file named after it.
// The folder's Info.plist is read once; a missing or bad one reads as empty.
#include <QString>
#include <QVariant>
#include <QVariantMap>

class ZDMainBundle
{
public:
    ZDMainBundle() = delete;

    static QString executablePath();
    // "<X>.app"; empty when the executable is not inside an application folder.
    static QString bundlePath();
    // "<X>.app/Contents/Resources"; empty outside an application folder.
    static QString resourcePath();
    static QVariantMap infoDictionary();
    // A text value of the Info.plist; empty when missing or not text.
    static QString infoString(const QString &key);

    // CFBundleName, else the executable's file name without extension.
    static QString name();
    static QString identifier();
    // CFBundleShortVersionString and CFBundleVersion as "1.0 (100)", either alone, or empty.
    static QString versionText();

    // "<user preferences>/<identifier, else name>.plist".
    static QString userSettingsPath();
    static QVariant userSetting(const QString &key);
    // Read, change one key, write back atomically. False when the write failed.
    static bool setUserSetting(const QString &key, const QVariant &value);
};
