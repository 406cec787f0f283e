#include "catalog/ZDApplicationTables.h"

#include <QSet>

namespace ZDApplicationTables {
namespace {

const QString kAvid = QStringLiteral("Avid_Icon_Small");
const QString kPremiere = QStringLiteral("Premiere_Icon_Small");
const QString kFcp = QStringLiteral("Final_Cut_Pro_Icon_Small");
const QString kFcpx = QStringLiteral("Final_Cut_Pro_X_Icon_Small");
const QString kMotion = QStringLiteral("Motion_Icon_Small");
const QString kMotion5 = QStringLiteral("Motion_5_Icon_Small");
const QString kStp = QStringLiteral("Soundtrack_Pro_Icon_Small");
const QString kColor = QStringLiteral("Color_Icon_Small");
const QString kDvdsp = QStringLiteral("DVDSP_Icon_Small");
const QString kLiveType = QStringLiteral("LiveType_Icon_Small");
const QString kCompressor = QStringLiteral("Compressor_Icon_Small");
const QString kCompressor4 = QStringLiteral("Compressor_4_Icon_Small");
const QString kCinemaTools = QStringLiteral("Cinema_Tools_Icon_Small");
const QString kQuickTime = QStringLiteral("QuickTime_Icon_Small");
const QString kFinder = QStringLiteral("Finder_Icon_Small");

// Rows of one application: (unique identifier, title, or the kind after the application's name).
struct Row
{
    const char *id;
    const char *text;
    bool whole = false; // text is the whole title
};

void add(QList<CleaningTask> &out, const QString &icon, const char *app, std::initializer_list<Row> rows)
{
    for (const Row &r : rows) {
        const QString title = r.whole ? QString::fromUtf8(r.text)
                                      : QString::fromUtf8(app) + QLatin1Char(' ') + QString::fromUtf8(r.text);
        out.append({QString::fromLatin1(r.id), title, icon, true, {0, 1}});
    }
}

QList<CleaningTask> buildCleaning()
{
    QList<CleaningTask> t;
    add(t, kAvid, "Avid Media Composer",
        {{"avidState", "State"}, {"avidSite", "Site Settings"}, {"avidWebCache", "Web Cache"},
         {"avidSavedState", "Saved Application State"}, {"avidSymphonyState", "Avid Symphony State", true},
         {"avidSymphonySite", "Avid Symphony Site Settings", true}, {"avidSymphonyWebCache", "Avid Symphony Web Cache", true},
         {"symphonySavedState", "Avid Symphony Saved Application State", true},
         {"avidProjectSettings", "Avid Project Settings", true}, {"avidMediaDB", "Avid Media Databases", true},
         {"avidSearchIndexes", "Avid Search Indexes", true}, {"avidPhraseFindIndexes", "Avid PhraseFind Indexes", true}});
    add(t, kPremiere, "Adobe Premiere Pro",
        {{"premiereMediaCache", "Adobe Media Cache", true}, {"premiereMetadataCache", "Metadata Cache"},
         {"premierePluginCache", "Plug-in Cache"}, {"premiereStyleCache", "Style Cache"},
         {"premiereColumnSettings", "Column Settings"}, {"premiereRecentDirs", "Recent Folders"},
         {"premiereTempFiles", "Temporary Files"}, {"adobeFontCache", "Adobe Font Cache", true},
         {"premiereSavedState", "Saved Application State"}, {"ameQueue", "Adobe Media Encoder Queue", true},
         {"adobeMediaEncoderCache", "Adobe Media Encoder Cache", true},
         {"ameSavedState", "Adobe Media Encoder Saved Application State", true}});
    add(t, kFcp, "Final Cut Pro",
        {{"fcpWaveform", "Waveform Cache"}, {"fcpThumbnail", "Thumbnail Cache"},
         {"fcpWeb", "Final Cut Pro Network Response Cache", true}, {"fcpRecentDirs", "Recent Folders"},
         {"fcpQuartz", "Quartz Composer Cache"}, {"fcpSavedState", "Saved Application State"},
         {"fceWaveform", "Final Cut Express Waveform Cache", true}, {"fceThumbnail", "Final Cut Express Thumbnail Cache", true},
         {"fceWeb", "Final Cut Express Network Response Cache", true}, {"fceRecentDirs", "Final Cut Express Recent Folders", true},
         {"fceQuartz", "Final Cut Express Quartz Composer Cache", true},
         {"fceSavedState", "Final Cut Express Saved Application State", true}});
    add(t, kFcpx, "Final Cut Pro X",
        {{"fcpxThumbCache", "Thumbnail Cache"}, {"fcpxPeakCache", "Peak Cache"}, {"fcpxAnalysisCaches", "Analysis Caches"},
         {"fcpxLock", "Lock Files"}, {"fcpxWindowReset", "Window Layout Reset"}, {"fcpxMotionTemplate", "Motion Template Cache"},
         {"fcpxEffectThumbs", "Effect Thumbnails"}, {"fcpxQuartz", "Quartz Composer Cache"},
         {"fcpxSavedState", "Saved Application State"}, {"fcpxShareCache", "Share Cache"}});
    add(t, kMotion, "Motion",
        {{"motionLiveFontCache", "Live Font Cache"}, {"motionRetiming", "Retiming Cache"}, {"motionWeb", "Network Response Cache"},
         {"motionRecentFiles", "Motion Recent Projects", true}, {"motionRecentDirs", "Recent Folders"},
         {"motionQuartz", "Quartz Composer Cache"}, {"motionSavedState", "Saved Application State"}});
    add(t, kMotion5, "Motion 5",
        {{"motion5ContentCache", "Content Cache"}, {"motion5Web", "Network Response Cache"},
         {"motion5Quartz", "Quartz Composer Cache"}, {"motion5SavedState", "Saved Application State"}});
    add(t, kStp, "Soundtrack Pro",
        {{"stpTemp", "Temporary Files"}, {"stpEffects", "Effects Cache"}, {"stpLayout", "Soundtrack Pro Reset Layout", true},
         {"stpWeb", "Network Response Cache"}, {"stpRecentFiles", "Recent Projects"}, {"stpRecentDirs", "Recent Folders"},
         {"stpSavedState", "Saved Application State"}});
    add(t, kColor, "Color", {{"colorWeb", "Network Response Cache"}, {"colorSavedState", "Saved Application State"}});
    add(t, kDvdsp, "DVD Studio Pro",
        {{"dvdspMPEGCache", "MPEG Cache"}, {"dvdspCompilerCache", "Compiler Cache"}, {"dvdspWeb", "Network Response Cache"},
         {"dvdspConfigReset", "Configuration Reset"}, {"dvdspRecentFiles", "Recent Projects"},
         {"dvdspRecentDirs", "Recent Folders"}, {"dvdspSavedState", "Saved Application State"}});
    add(t, kLiveType, "LiveType",
        {{"livetypeWeb", "Network Response Cache"}, {"livetypeRecentFiles", "Recent Projects"},
         {"livetypeRecentDirs", "Recent Folders"}, {"livetypeSavedState", "Saved Application State"}});
    add(t, kCompressor, "Compressor",
        {{"qmasterSpool", "Qmaster Job Spool", true}, {"compressorHistory", "History"}, {"qmasterLogs", "Qmaster Logs", true},
         {"compressorWeb", "Network Response Cache"}, {"qmasterRecentFiles", "Recent Files"},
         {"qmasterRecentDirs", "Recent Folders"}, {"compressorSavedState", "Saved Application State"}});
    add(t, kCompressor4, "Compressor 4",
        {{"qmaster4Spool", "Job Spool"}, {"compressor4History", "History"}, {"qmaster4Logs", "Logs"},
         {"compressor4Web", "Network Response Cache"}, {"qmaster4RecentFiles", "Recent Files"},
         {"qmaster4RecentDirs", "Recent Folders"}, {"compressor4SavedState", "Saved Application State"}});
    add(t, kCinemaTools, "Cinema Tools",
        {{"ctLayout", "Layout Reset"}, {"ctWeb", "Network Response Cache"}, {"ctRecentFiles", "Recent Files"},
         {"ctRecentDirs", "Recent Folders"}, {"ctSavedState", "Saved Application State"}});
    add(t, kQuickTime, "QuickTime Player 7",
        {{"qtCache", "Cache"}, {"qtWeb", "Network Response Cache"}, {"qtRecentFiles", "Recent Files"},
         {"qtRecentDirs", "Recent Folders"}, {"qtSavedState", "Saved Application State"},
         {"qtXRecentFiles", "QuickTime Player X Recent Files", true}, {"qtXRecentDirs", "QuickTime Player X Recent Folders", true},
         {"qtxSavedState", "QuickTime Player X Saved Application State", true}});
    add(t, kFinder, "",
        {{"auCache", "Audio Unit Cache", true}, {"hiToolbox", "User Interface Preferences (HIToolbox)", true},
         {"fontCache", "Font Cache", true}, {"iLifeMediaCache", "iLife Media Browser Cache", true},
         {"prokitPrefs", "ProKit Preferences", true}, {"aggDevicePrefs", "Aggregate Audio Device Preferences", true}});

    static const QSet<QString> onlyFull = {
        QStringLiteral("avidState"), QStringLiteral("avidSite"), QStringLiteral("avidSymphonyState"),
        QStringLiteral("avidSymphonySite"), QStringLiteral("avidProjectSettings"), QStringLiteral("avidMediaDB"),
        QStringLiteral("premiereMetadataCache"), QStringLiteral("adobeFontCache"), QStringLiteral("adobeMediaEncoderCache"),
        QStringLiteral("fcpWeb"), QStringLiteral("fcpxAnalysisCaches"), QStringLiteral("fcpxLock"),
        QStringLiteral("fcpxWindowReset"), QStringLiteral("fceWeb"), QStringLiteral("motionWeb"),
        QStringLiteral("motion5ContentCache"), QStringLiteral("motion5Web"), QStringLiteral("stpLayout"),
        QStringLiteral("stpWeb"), QStringLiteral("colorWeb"), QStringLiteral("dvdspMPEGCache"),
        QStringLiteral("dvdspCompilerCache"), QStringLiteral("dvdspWeb"), QStringLiteral("dvdspConfigReset"),
        QStringLiteral("livetypeWeb"), QStringLiteral("qmasterSpool"), QStringLiteral("qmasterLogs"),
        QStringLiteral("compressorWeb"), QStringLiteral("qmaster4Spool"), QStringLiteral("qmaster4Logs"),
        QStringLiteral("compressor4Web"), QStringLiteral("ctLayout"), QStringLiteral("ctWeb"), QStringLiteral("qtWeb"),
        QStringLiteral("hiToolbox"), QStringLiteral("fontCache"), QStringLiteral("iLifeMediaCache"),
        QStringLiteral("prokitPrefs"), QStringLiteral("aggDevicePrefs")};
    static const QSet<QString> unticked = {
        QStringLiteral("avidState"), QStringLiteral("avidSite"), QStringLiteral("avidSymphonyState"),
        QStringLiteral("avidSymphonySite"), QStringLiteral("avidProjectSettings"), QStringLiteral("avidMediaDB"),
        QStringLiteral("avidSearchIndexes"), QStringLiteral("avidPhraseFindIndexes"), QStringLiteral("premiereMetadataCache"),
        QStringLiteral("adobeFontCache"), QStringLiteral("adobeMediaEncoderCache"), QStringLiteral("fcpxAnalysisCaches"),
        QStringLiteral("fcpxLock"), QStringLiteral("fcpxWindowReset"), QStringLiteral("prokitPrefs"),
        QStringLiteral("aggDevicePrefs")};
    for (CleaningTask &task : t) {
        if (onlyFull.contains(task.uniqueID))
            task.presetGroups = {1};
        task.selected = !unticked.contains(task.uniqueID);
    }
    return t;
}

bool uniqueKnown(const QStringList &items, bool (*known)(const QString &), qsizetype max, QString *why)
{
    if (items.isEmpty()) {
        *why = QStringLiteral("nothing given");
        return false;
    }
    if (items.size() > max) {
        *why = QStringLiteral("more than %1 items").arg(max);
        return false;
    }
    QSet<QString> seen;
    for (const QString &item : items) {
        if (!known(item)) {
            *why = QStringLiteral("unknown item \"%1\"").arg(item.left(64));
            return false;
        }
        if (seen.contains(item)) {
            *why = QStringLiteral("\"%1\" given twice").arg(item);
            return false;
        }
        seen.insert(item);
    }
    return true;
}

} // namespace

const QList<App> &editingApplications()
{
    static const QList<App> apps = {
        {QStringLiteral("Final Cut Pro"), QStringLiteral("com.apple.FinalCutPro"), kFcp},
        {QStringLiteral("Final Cut Pro X"), QStringLiteral("com.apple.FinalCut"), kFcpx},
        {QStringLiteral("Avid Media Composer"), QStringLiteral("com.avid.MediaComposer"), kAvid},
        {QStringLiteral("Avid Symphony"), QStringLiteral("com.avid.Symphony"), kAvid},
        {QStringLiteral("Adobe Premiere Pro"), QStringLiteral("com.adobe.AdobePremierePro"), kPremiere},
        {QStringLiteral("Motion"), QStringLiteral("com.apple.motion"), kMotion},
        {QStringLiteral("Motion 5"), QStringLiteral("com.apple.motionapp"), kMotion5},
        {QStringLiteral("Soundtrack Pro"), QStringLiteral("com.apple.soundtrackpro"), kStp},
        {QStringLiteral("Color"), QStringLiteral("com.apple.color"), kColor},
        {QStringLiteral("Compressor"), QStringLiteral("com.apple.compressor.Compressor"), kCompressor},
        {QStringLiteral("Compressor 4"), QStringLiteral("com.apple.Compressor"), kCompressor4},
        {QStringLiteral("DVD Studio Pro"), QStringLiteral("com.apple.dvdstudiopro"), kDvdsp},
        {QStringLiteral("LiveType"), QStringLiteral("com.apple.LiveType"), kLiveType},
        {QStringLiteral("Cinema Tools"), QStringLiteral("com.apple.CinemaTools"), kCinemaTools},
        {QStringLiteral("Final Cut Express"), QStringLiteral("com.apple.FinalCutExpress"), kFcp},
        {QStringLiteral("Final Cut Pro X Trial"), QStringLiteral("com.apple.FinalCutTrial"), kFcp},
    };
    return apps;
}

const QList<App> &makersTools()
{
    static const QList<App> tools = [] {
        QList<App> list;
        for (const char *name : {"Aubrel", "Ondrel", "Ketril", "Skelder", "Quellar", "Tidwell", "Purgel", "Moravel",
                                 "Harrowin", "Tarnok", "Brindel", "Stowel", "Peltrim", "Quarrix", "Mendo", "Kitterel",
                                 "Cadro", "Xandrel"}) {
            const QString n = QString::fromLatin1(name);
            list.append({n, QStringLiteral("com.zendrel.") + n, n + QStringLiteral("_Icon_Small")});
        }
        return list;
    }();
    return tools;
}

QStringList passwordProtectedTools()
{
    QStringList names;
    for (const App &tool : makersTools()) {
        if (tool.name != QLatin1String("Ketril") && tool.name != QLatin1String("Moravel"))
            names << tool.name;
    }
    return names;
}

const QList<CleaningTask> &cleaningTasks()
{
    static const QList<CleaningTask> tasks = buildCleaning();
    return tasks;
}

bool isCleaningTask(const QString &uniqueID)
{
    static const QSet<QString> ids = [] {
        QSet<QString> s;
        for (const CleaningTask &t : cleaningTasks())
            s.insert(t.uniqueID);
        return s;
    }();
    return ids.contains(uniqueID);
}

QStringList cleaningPreset(int preset)
{
    QStringList ids;
    for (const CleaningTask &t : cleaningTasks()) {
        if (t.presetGroups.contains(preset))
            ids << t.uniqueID;
    }
    return ids;
}

const QList<RemovalGroup> &removalGroups()
{
    static const QList<RemovalGroup> groups = [] {
        const QList<QPair<const char *, QString>> rows = {
            {"Final Cut Pro / Express", kFcp}, {"Final Cut Pro X", kFcpx}, {"Motion", kMotion},
            {"Motion 5", kMotion5}, {"Soundtrack Pro", kStp}, {"DVD Studio Pro", kDvdsp}, {"Color", kColor},
            {"LiveType", kLiveType}, {"Compressor", kCompressor}, {"Compressor 4", kCompressor4},
            {"Cinema Tools", kCinemaTools}, {"Qmaster", QStringLiteral("Qmaster_Icon_Small")},
            {"Final Cut Server", QStringLiteral("Final_Cut_Server_Icon_Small")},
            {"Shared Files", QStringLiteral("Package_Icon_Small")}};
        QList<RemovalGroup> list;
        for (const auto &[title, icon] : rows)
            list.append({QString::fromUtf8(title), icon, int(list.size())});
        return list;
    }();
    return groups;
}

bool isRemovalGroup(int index) { return index >= 0 && index < removalGroups().size(); }

QList<int> removalPreset(int preset)
{
    const auto titled = [](std::initializer_list<const char *> titles) {
        QList<int> out;
        for (const RemovalGroup &g : removalGroups()) {
            for (const char *t : titles) {
                if (g.title == QLatin1String(t))
                    out << g.index;
            }
        }
        return out;
    };
    switch (preset) {
    case 0: {
        QList<int> all;
        for (const RemovalGroup &g : removalGroups())
            all << g.index;
        return all;
    }
    case 1: {
        QList<int> all;
        for (const RemovalGroup &g : removalGroups())
            if (g.title != QLatin1String("Final Cut Server"))
                all << g.index;
        return all;
    }
    case 2:
        return titled({"Final Cut Server", "Compressor", "Qmaster", "Shared Files"});
    case 3:
        return titled({"Compressor", "Qmaster"});
    case 4:
        return titled({"Final Cut Pro / Express", "Motion", "Soundtrack Pro", "DVD Studio Pro", "Color", "LiveType",
                       "Cinema Tools"});
    default:
        return {};
    }
}

int removalGroupFor(const QString &numberOrTitle)
{
    bool ok = false;
    const int n = numberOrTitle.toInt(&ok);
    if (ok)
        return isRemovalGroup(n) ? n : -1;
    for (const RemovalGroup &g : removalGroups()) {
        if (g.title.compare(numberOrTitle, Qt::CaseInsensitive) == 0)
            return g.index;
    }
    return -1;
}

const QList<CacheKey> &cacheKeys()
{
    static const QList<CacheKey> keys = {
        {QStringLiteral("audio"), QStringLiteral("Trash Audio Component cache"), QStringLiteral("rebuild the sound server's module cache")},
        {QStringLiteral("audiounit"), QStringLiteral("Trash Audio Unit cache"), QStringLiteral("rescan the audio plug-in cache")},
        {QStringLiteral("cups"), QStringLiteral("Trash Common Unix Printing Service (CUPS) cache"), QStringLiteral("clear the printing caches")},
        {QStringLiteral("font"), QStringLiteral("Trash Font cache"), QStringLiteral("fc-cache -f")},
        {QStringLiteral("kernel"), QStringLiteral("Trash Kernel cache"), QStringLiteral("depmod -a")},
        {QStringLiteral("lookupd"), QStringLiteral("Trash Directory Services cache"), QStringLiteral("resolvectl flush-caches")},
        {QStringLiteral("qt"), QStringLiteral("Trash QuickTime cache"), QStringLiteral("clear the media framework's registry")},
        {QStringLiteral("launchservices"), QStringLiteral("Rebuild LaunchServices database"), QStringLiteral("update-desktop-database")},
        {QStringLiteral("prebinding"), QStringLiteral("Update Prebinding"), QStringLiteral("ldconfig")},
        {QStringLiteral("spotlight"), QStringLiteral("Rebuild Spotlight Index"), QStringLiteral("rebuild the desktop search index")},
        {QStringLiteral("whatis"), QStringLiteral("Rebuild Whatis Database"), QStringLiteral("mandb")},
        {QStringLiteral("malware"), QStringLiteral("Update Malware Definitions (OS X 10.6 and 10.7 only)"), QStringLiteral("update the malware definitions")},
    };
    return keys;
}

bool isCacheKey(const QString &key)
{
    for (const CacheKey &k : cacheKeys()) {
        if (k.key == key)
            return true;
    }
    return false;
}

QString cleaningListProblem(const QStringList &ids)
{
    QString why;
    return uniqueKnown(ids, &isCleaningTask, cleaningTasks().size(), &why) ? QString() : why;
}

QString cacheListProblem(const QString &joinedKeys)
{
    QString why;
    return uniqueKnown(joinedKeys.split(QLatin1Char(',')), &isCacheKey, cacheKeys().size(), &why) ? QString() : why;
}

} // namespace ZDApplicationTables
