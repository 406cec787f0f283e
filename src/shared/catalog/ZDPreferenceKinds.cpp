#include "catalog/ZDPreferenceKinds.h"

#include "platform/ZDLocalPaths.h"

#include <QDir>

#include <algorithm>

namespace ZDPreferenceKinds {
namespace {

using B = Base;

File p(const char *relative) { return {B::Preferences, QString::fromUtf8(relative)}; }
File s(const char *relative) { return {B::Support, QString::fromUtf8(relative)}; }
File d(const char *relative) { return {B::Documents, QString::fromUtf8(relative)}; }

Kind on(const char *name, const char *key, QList<File> files = {})
{
    return {QString::fromUtf8(name), QString::fromUtf8(key), true, std::move(files)};
}
Kind off(const char *name, const char *key, QList<File> files = {})
{
    return {QString::fromUtf8(name), QString::fromUtf8(key), false, std::move(files)};
}

const QList<File> kBoris{p("com.borisfx.Text Scrambler"), p("com.borisfx.Title 3D"), p("com.borisfx.Title Crawl"),
                         p("com.borisfx.Vector Shape")};

// The nine kinds of both classic editors; `app` names their files, `k` prefixes their keys.
QList<Kind> classicEditor(const QString &app, const QString &k, const QString &plist)
{
    const QString data = app + QStringLiteral(" User Data/");
    const auto key = [&](const char *suffix) { return (k + QLatin1String(suffix)).toUtf8(); };
    const auto folder = [&](const char *name) {
        return QList<File>{{B::Preferences, data + QLatin1String(name)}};
    };
    const QList<Kind> kinds{
        {QStringLiteral("Preferences"), k + QStringLiteral("Prefs"), true,
         {{B::Preferences, plist}, {B::Preferences, data + app + QStringLiteral(" Obj Cache.fcmch")},
          {B::Preferences, data + app + QStringLiteral(" Prof Cache.fcpch")}}},
        {QStringLiteral("Boris Plugin Preferences"), k + QStringLiteral("Boris"), true, kBoris},
        off("Button Bars", key("Button"), folder("Button Bars")),
        off("Keyboard Layouts", key("Keyboard"), folder("Keyboard Layouts")),
        off("Window Layouts", key("Window"), folder("Window Layouts")),
        off("Column Layouts", key("Column"), folder("Column Layouts")),
        off("Track Layouts", key("Track"), folder("Track Layouts")),
        off("Custom Settings", key("Custom"), folder("Custom Settings")),
        off("User Plugins", key("Plugins"), folder("Plugins")),
    };
    return kinds;
}

Application app(const char *name, const char *key, const char *icon, QList<Kind> kinds)
{
    return {QString::fromUtf8(name), QString::fromUtf8(key), QString::fromUtf8(icon), std::move(kinds)};
}

QList<Application> buildApplications()
{
    QList<Application> apps{
        app("Final Cut Pro", "fcp", "Final_Cut_Pro_Icon_Small",
            classicEditor(QStringLiteral("Final Cut Pro"), QStringLiteral("fcp"),
                          QStringLiteral("com.apple.FinalCutPro.plist"))),
        app("Final Cut Pro X", "fcpx", "Final_Cut_Pro_X_Icon_Small",
            {on("Preferences", "fcpxPrefs",
                {p("com.apple.FinalCut.plist"), p("com.apple.FinalCut.LSSharedFileList.plist"),
                 p("com.apple.FinalCutTrial.plist"), p("com.apple.FinalCutTrial.LSSharedFileList.plist")}),
             on("Window Layouts", "fcpxWinLayouts", {s("Final Cut Pro/Layouts/*.moduleLayout")}),
             on("Keyboard Layouts", "fcpxKeyLayouts", {s("Final Cut Pro/Command Sets/*.commandset")})}),
        app("Final Cut Express", "fce", "Final_Cut_Pro_Icon_Small",
            classicEditor(QStringLiteral("Final Cut Express"), QStringLiteral("fce"),
                          QStringLiteral("com.apple.FinalCutExpress.plist"))),
        app("Avid Media Composer", "avid", "Avid_Icon_Small",
            {on("Preferences", "avidPrefs", {{B::Shared, QStringLiteral("AvidMediaComposer/AvidUsers")}})}),
        app("Avid Symphony", "symphony", "Avid_Icon_Small",
            {on("Preferences", "symphonyPrefs", {{B::Shared, QStringLiteral("AvidSymphony/AvidUsers")}})}),
        app("Adobe Premiere Pro", "premiere", "Premiere_Icon_Small",
            {on("Preferences", "premierePrefs",
                {s("Adobe/Premiere Pro/*/Adobe Premiere Pro Prefs"), p("com.Adobe.Premiere Pro.*.plist")}),
             on("Sequence Presets", "premiereSequencePresets", {d("Adobe/Premiere Pro/*/Settings/*/*.sqpreset")}),
             on("Effect Presets", "premiereEffectPresets",
                {s("Adobe/Premiere Pro/*/Effect Presets and Custom Items.prfpset")}),
             on("Styles", "premiereStyles", {d("Adobe/Premiere Pro/*/styles/*.prsl")}),
             on("Workspaces", "premiereWorkspaces", {d("Adobe/Premiere Pro/*/Layouts/*.xml")}),
             on("Column Settings", "premiereColumnSettings", {s("Adobe/Premiere Pro/*/Media Browser Column Settings")}),
             on("Keyboard Layouts", "premiereKeyboardLayouts", {s("Adobe/Premiere Pro/*/*.kys")}),
             on("Audio Channel Presets", "premiereAudioChannels",
                {s("Adobe/Common/*/Audio Channels Presets/*.acpreset")})}),
        app("Adobe After Effects", "ae", "After_Effects_Icon_Small",
            {on("Preferences", "aePrefs",
                {p("Adobe/After Effects/*/Adobe After Effects * Prefs"),
                 p("Adobe/After Effects/*/Adobe After Effects * Shortcuts"),
                 p("Adobe/After Effects/*/Adobe After Effects *-x64 Prefs"), p("com.Adobe.After Effects.*.plist")}),
             on("Workspaces", "aeWorkspaces", {p("Adobe/After Effects/*/ModifiedWorkspaces/*.xml")})}),
        app("Soundtrack Pro", "stp", "Soundtrack_Pro_Icon_Small",
            {on("Preferences", "stpPrefs", {p("com.apple.soundtrackpro.plist")})}),
        app("Motion", "motion", "Motion_Icon_Small",
            {on("Preferences", "motionPrefs", {p("com.apple.motion.plist")}),
             on("Keyboard Layouts", "motionKeyLayout", {s("Motion/Command Sets/*.commandset")})}),
        app("Motion 5", "motion5", "Motion_5_Icon_Small",
            {on("Preferences", "motion5Prefs", {p("com.apple.motionapp.plist")}),
             on("Window Layouts", "motion5WinLayouts", {s("Motion/Layouts/*.moduleLayout")}),
             on("Keyboard Layouts", "motion5KeyLayouts", {s("Motion/Command Sets/*.commandset")})}),
        app("Color", "color", "Color_Icon_Small",
            {on("Preferences", "colorPrefs", {p("com.apple.color.plist"), p("Color/Preferences.prf")})}),
        app("DVD Studio Pro", "dvdsp", "DVDSP_Icon_Small",
            {on("Preferences", "dvdspPrefs", {p("com.apple.dvdstudiopro.plist")})}),
        app("Compressor", "compressor", "Compressor_Icon_Small",
            {on("Preferences", "compressorPrefs"), off("Settings", "compressorSettings"),
             off("Destinations", "compressorDestinations")}),
        app("Compressor 4", "compressor4", "Compressor_4_Icon_Small",
            {on("Preferences", "compressor4Prefs"), off("Settings", "compressor4Settings"),
             off("Destinations", "compressor4Destinations")}),
        app("Batch Monitor", "batchmon", "Batch_Monitor_Icon_Small",
            {on("Preferences", "batchmonPrefs", {p("com.apple.BatchMonitor.plist")})}),
        app("Cinema Tools", "ct", "Cinema_Tools_Icon_Small",
            {on("Preferences", "ctPrefs", {p("com.apple.CinemaTools.plist")})}),
        app("LiveType", "livetype", "LiveType_Icon_Small",
            {on("Preferences", "livetypePrefs", {p("com.apple.LiveType.plist")})}),
        app("Logic Pro X", "logicx", "LogicX_Icon_Small",
            {on("Preferences", "logicxPrefs", {p("com.apple.logic10.plist")})}),
    };
    std::sort(apps.begin(), apps.end(), [](const Application &a, const Application &b) {
        return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
    });
    return apps;
}

PathRow row(const char *key, const char *title, const char *defaultPath = "")
{
    PathRow r;
    r.key = QString::fromUtf8(key);
    r.title = QString::fromUtf8(title);
    r.defaultPath = QString::fromUtf8(defaultPath);
    return r;
}
PathRow colored(PathRow r)
{
    r.colorCoded = true;
    return r;
}
PathRow suffixed(PathRow r, const char *suffix)
{
    r.relativeSuffix = QString::fromUtf8(suffix);
    return r;
}
PathRow toNil(PathRow r)
{
    r.resetsToNil = true;
    return r;
}
PathRow fixed(PathRow r)
{
    r.noMove = true;
    r.readOnly = true;
    return r;
}
PathRow files(PathRow r, QStringList names)
{
    r.fileList = std::move(names);
    return r;
}

QList<PathApplication> buildPathApplications()
{
    const char *studioMotion = "/Library/Application Support/Final Cut Studio/Motion";
    const char *userDvdCaches = "~/Library/Caches/DVD Studio Pro Files";
    const QStringList motionFiles{QStringLiteral("Templates.localized"), QStringLiteral("Library")};
    const QStringList blocks{
        QStringLiteral("Styles/Blocks Cover HD NTSC.dspstyle"), QStringLiteral("Styles/Blocks Detail HD NTSC.dspstyle"),
        QStringLiteral("Styles/Blocks Index HD NTSC.dspstyle"),
        QStringLiteral("Templates/Blocks Cover HD NTSC.dsptemplate"),
        QStringLiteral("Templates/Blocks Detail HD NTSC.dsptemplate"),
        QStringLiteral("Templates/Blocks Index HD NTSC.dsptemplate")};
    PathRow opticalFlow = toNil(row("motionOpticalFlowCache", "Optical Flow Retiming Cache", studioMotion));
    opticalFlow.noMove = true;
    return {
        {QStringLiteral("Final Cut Pro"), QStringLiteral("Final_Cut_Pro_Icon_Small"),
         QStringLiteral("com.apple.FinalCutPro.plist"),
         {fixed(row("fcpAutosave", "Autosave Vault")), fixed(row("fcpScratch", "Scratch Disk")),
          fixed(row("fcpCaptureScratch", "Capture Scratch")),
          fixed(row("fcpAudioCaptureScratch", "Audio Capture Scratch")), fixed(row("fcpRender", "Render Files")),
          fixed(row("fcpAudioRender", "Audio Render Files")), fixed(row("fcpWaveform", "Waveform Cache")),
          fixed(row("fcpThumbnail", "Thumbnail Cache"))}},
        {QStringLiteral("Motion"), QStringLiteral("Motion_Icon_Small"), QStringLiteral("com.apple.motion.plist"),
         {files(colored(row("motionContent", "Library Content", studioMotion)), motionFiles),
          colored(row("motionFCPContent", "Final Cut Pro Motion Content Location", studioMotion)),
          files(row("motionAutosave", "Autosave Vault", "~/Documents/Motion Documents"),
                {QStringLiteral("Autosave Vault/*/*.motn")}),
          row("motionLiveFontCache", "LiveFont Cache", "/Library/Caches/LiveFonts"), opticalFlow}},
        {QStringLiteral("Motion 5"), QStringLiteral("Motion_5_Icon_Small"), QStringLiteral("com.apple.motionapp.plist"),
         {row("motion5Content", "Content", "/Library/Application Support/Motion")}},
        {QStringLiteral("Soundtrack Pro"), QStringLiteral("Soundtrack_Pro_Icon_Small"),
         QStringLiteral("com.apple.soundtrackpro.plist"),
         {colored(row("soundtrackEditedMedia", "Edited Media", "~/Documents/Soundtrack Pro Documents/Edited Media")),
          colored(row("soundtrackRecordings", "Recordings", "~/Documents/Soundtrack Pro Documents/Recordings")),
          row("soundtrackTempFiles", "Temporary Files", "~/Documents/Soundtrack Pro Documents/Temporary Files")}},
        {QStringLiteral("Color"), QStringLiteral("Color_Icon_Small"), QStringLiteral("com.apple.color.plist"),
         {suffixed(colored(row("colorProjects", "Default Project Directory", "~/Documents/Color Documents")),
                   "Projects"),
          suffixed(colored(row("colorMedia", "Default Media Directory", "~/Documents/Color Documents/Media")),
                   "Media"),
          suffixed(colored(row("colorRenders", "Default Render Directory", "~/Documents/Color Documents/Renders")),
                   "Renders")}},
        {QStringLiteral("DVD Studio Pro"), QStringLiteral("DVDSP_Icon_Small"),
         QStringLiteral("com.apple.dvdstudiopro.plist"),
         {toNil(suffixed(row("dvdspEncoding", "Encoding", "/Library/Caches/DVD Studio Pro Files"), "Encoding")),
          toNil(suffixed(row("dvdspImageEncoding", "Image Encoding", userDvdCaches), "Image Encoding")),
          toNil(suffixed(row("dvdspMPEGParsing", "MPEG Parsing", userDvdCaches), "MPEG Parsing")),
          colored(suffixed(row("dvdspCompiler", "Build / Format", userDvdCaches), "Compiler")),
          files(colored(row("dvdspStockContent", "Stock Palette Content",
                            "/Library/Application Support/Final Cut Studio/DVD Studio Pro")),
                blocks),
          colored(row("dvdspCustomContent", "Custom Palette Content",
                      "~/Library/Application Support/Final Cut Studio/DVD Studio Pro"))}},
        {QStringLiteral("LiveType"), QStringLiteral("LiveType_Icon_Small"), QStringLiteral("com.apple.LiveType.plist"),
         {files(colored(row("livetypeContent", "Content", "/Library/Application Support/LiveType")),
                {QStringLiteral("Effects"), QStringLiteral("Images"), QStringLiteral("LiveFonts"),
                 QStringLiteral("Movies")})}},
        {QStringLiteral("Qmaster"), QStringLiteral("Qmaster_Icon_Small"), QStringLiteral("com.apple.qmasterprefs.plist"),
         {row("qmasterClusterStorage", "Cluster Storage", "/var/spool/qmaster")}},
    };
}

bool hasControl(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.unicode() < 0x20 || c.unicode() == 0x7f || (c.unicode() >= 0x80 && c.unicode() < 0xa0);
    });
}

// One path component against one of the tool's patterns ("*": any run of characters).
bool componentMatches(const QString &pattern, const QString &name)
{
    const QStringList parts = pattern.split(QLatin1Char('*'));
    if (parts.size() == 1)
        return pattern == name;
    if (!name.startsWith(parts.first()))
        return false;
    qsizetype at = parts.first().size();
    for (qsizetype i = 1; i + 1 < parts.size(); ++i) {
        at = name.indexOf(parts.at(i), at);
        if (at < 0)
            return false;
        at += parts.at(i).size();
    }
    return name.size() - at >= parts.last().size() && name.endsWith(parts.last());
}

} // namespace

const QList<Application> &applications()
{
    static const QList<Application> apps = buildApplications();
    return apps;
}

const Kind *kindForKey(const QString &key)
{
    for (const Application &a : applications()) {
        for (const Kind &k : a.kinds) {
            if (k.key == key)
                return &k;
        }
    }
    return nullptr;
}

QStringList allKeys()
{
    QStringList keys;
    for (const Application &a : applications()) {
        for (const Kind &k : a.kinds)
            keys << k.key;
    }
    return keys;
}

QString baseFolder(Base base)
{
    switch (base) {
    case Base::Preferences:
        return ZDLocalPaths::prefsDirectory(true);
    case Base::Support:
        return ZDLocalPaths::appSupportDirectory(true);
    case Base::Documents:
        return ZDLocalPaths::documentDirectory(true);
    case Base::Shared:
        return ZDLocalPaths::systemPath(QStringLiteral("/srv/Shared"));
    }
    return {};
}

QStringList filePatterns(const Kind &kind)
{
    QStringList paths;
    for (const File &f : kind.files)
        paths << baseFolder(f.base) + QLatin1Char('/') + f.relative;
    return paths;
}

bool isCovered(const QString &path)
{
    const QStringList components = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!path.startsWith(QLatin1Char('/')) ||
        components.contains(QLatin1String(".")) || components.contains(QLatin1String("..")))
        return false;
    for (const Application &app : applications()) {
        for (const Kind &kind : app.kinds) {
            for (const QString &pattern : filePatterns(kind)) {
                const QStringList wanted = pattern.split(QLatin1Char('/'), Qt::SkipEmptyParts);
                if (wanted.size() > components.size())
                    continue;
                bool all = true;
                for (qsizetype i = 0; all && i < wanted.size(); ++i)
                    all = componentMatches(wanted.at(i), components.at(i));
                if (all)
                    return true;
            }
        }
    }
    return false;
}

QString backupNameProblem(const QString &name)
{
    if (name.trimmed().isEmpty() || name == QLatin1String("."))
        return QStringLiteral("You must enter a valid name for this backup.");
    if (name.size() > kMaxNameLength)
        return QStringLiteral("The backup name is longer than %1 characters.").arg(kMaxNameLength);
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1String("..")))
        return QStringLiteral("The backup name cannot contain \"/\" or \"..\".");
    if (name.contains(QChar(0)) || hasControl(name))
        return QStringLiteral("The backup name cannot contain control characters.");
    if (name.startsWith(QLatin1Char('-')) || name.startsWith(QLatin1Char('.')))
        return QStringLiteral("The backup name cannot start with \"-\" or \".\".");
    return {};
}

QString backupFolder()
{
    return ZDLocalPaths::appSupportDirectory(true) + QStringLiteral("/Stowel/Backups");
}

QString keyListProblem(const QString &keyList)
{
    if (keyList.isEmpty())
        return QStringLiteral("No items selected.");
    for (const QString &key : keyList.split(QLatin1Char(','))) {
        if (!kindForKey(key))
            return QStringLiteral("Unknown preference key \"%1\".").arg(key.left(64));
    }
    return {};
}

const QList<PathApplication> &pathApplications()
{
    static const QList<PathApplication> apps = buildPathApplications();
    return apps;
}

const PathRow *pathRowForKey(const QString &key, QString *applicationTitle)
{
    for (const PathApplication &a : pathApplications()) {
        for (const PathRow &r : a.rows) {
            if (r.key == key) {
                if (applicationTitle)
                    *applicationTitle = a.title;
                return &r;
            }
        }
    }
    return nullptr;
}

const PathRow *pathRow(const QString &applicationTitle, const QString &pathTitle)
{
    for (const PathApplication &a : pathApplications()) {
        if (a.title != applicationTitle)
            continue;
        for (const PathRow &r : a.rows) {
            if (r.title == pathTitle)
                return &r;
        }
    }
    return nullptr;
}

QString mappedDefault(const PathRow &row)
{
    const QString &path = row.defaultPath;
    if (path.isEmpty())
        return {};
    // The table's folders, user ones first; the rest lands below the system root.
    const struct
    {
        const char *prefix;
        QString folder;
    } map[] = {
        {"~/Documents", ZDLocalPaths::documentDirectory(true)},
        {"~/Library/Caches", ZDLocalPaths::cacheDirectory(true)},
        {"~/Library/Application Support", ZDLocalPaths::appSupportDirectory(true)},
        {"/Library/Application Support", ZDLocalPaths::appSupportDirectory(false)},
        {"/Library/Caches", ZDLocalPaths::cacheDirectory(false)},
    };
    for (const auto &m : map) {
        const QLatin1String prefix(m.prefix);
        if (path == prefix || path.startsWith(prefix + QLatin1Char('/')))
            return m.folder + path.mid(prefix.size());
    }
    return ZDLocalPaths::systemPath(path);
}

QString pathProblem(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return QStringLiteral("The path \"%1\" is not absolute.").arg(path.left(64));
    if (path.toUtf8().size() > 4096)
        return QStringLiteral("A path is longer than 4096 bytes.");
    if (path.contains(QChar(0)) || hasControl(path))
        return QStringLiteral("A path contains control characters.");
    return {};
}

QString pathDictionaryProblem(const QVariantMap &paths)
{
    for (auto app = paths.cbegin(); app != paths.cend(); ++app) {
        if (app.value().userType() != QMetaType::QVariantMap)
            return QStringLiteral("The paths of \"%1\" are not a dictionary.").arg(app.key().left(64));
        const QVariantMap rows = app.value().toMap();
        for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
            if (!pathRow(app.key(), it.key()))
                return QStringLiteral("Unknown path \"%1\" of \"%2\".").arg(it.key().left(64), app.key().left(64));
            if (it.value().userType() != QMetaType::QString)
                return QStringLiteral("The path of \"%1\" is not text.").arg(it.key().left(64));
            if (const QString why = pathProblem(it.value().toString()); !why.isEmpty())
                return why;
        }
    }
    return {};
}

} // namespace ZDPreferenceKinds
