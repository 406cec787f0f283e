// The catalogue of applications: a broken file's bad entries refused with file and
// entry named while everything else loads; the administrator's folder replacing a
// shipped entry in place; and a studio workstation laid out as the Kdenlive and
// Blender packages (and Krita's Flatpak) lay it out, listed with versions by a real agent through
// `kestra apps`, a real crash of the "blender" program passing the crash-log filter.
#include "catalog/ZDCatalogue.h"
#include "files/ZDFileTree.h"
#include "ZDRealAgent.h"
#include "ZDStudioApps.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"

using namespace Qt::StringLiterals;
namespace T = ZDApplicationTables;

namespace {

constexpr const char *kJson0 =
    "{\"applications\": [\n"
    "  {\"id\": \"com.studio.Good\", \"name\": \"Good\", \"desktopIds\": [\"com.studio.Good\"], \"crashNames\": [\"good\"]},\n"
    "  {\"id\": \"com.studio.BadType\", \"name\": 5},\n"
    "  {\"id\": \"com.studio.Unknown\", \"name\": \"Unknown\", \"colour\": \"red\"},\n"
    "  {\"id\": \"com.studio.Escape\", \"name\": \"Escape\",\n"
    "   \"cleaning\": [{\"id\": \"escapeCache\", \"title\": \"Escape\", \"paths\": [\"~/.cache/escape/../../../etc\"]}]},\n"
    "  {\"id\": \"com.studio.Outside\", \"name\": \"Outside\",\n"
    "   \"pluginFolders\": [{\"id\": \"outside\", \"type\": \"X\", \"computer\": \"/etc/kestra\"}]},\n"
    "  {\"id\": \"com.studio.Everything\", \"name\": \"Everything\", \"cleaning\": [{\"id\": \"all\", \"title\": \"All\", \"paths\": [\"~/.cache/*\"]}]},\n"
    "  {\"name\": \"No identifier\"},\n"
    "  {\"id\": \"com.studio.Clash\", \"name\": \"Clash\", \"cleaning\": [{\"id\": \"fcpWaveform\", \"title\": \"Mine\"}]}\n"
    " ],\n"
    " \"cleaning\": [{\"id\": \"goodCache\", \"title\": \"Good Cache\", \"paths\": [\"~/.cache/good\"]}],\n"
    " \"paths\": [{\"id\": \"Bad Format\", \"preferenceFile\": \"badrc\", \"format\": \"yaml\", \"rows\": []},\n"
    "  {\"id\": \"Bad Entry\", \"preferenceFile\": \"badrc\", \"format\": \"ini\",\n"
    "   \"rows\": [{\"title\": \"Render\", \"key\": \"badRender\", \"group\": \"env\", \"entry\": \"render=/etc\"}]},\n"
    "  {\"id\": \"Good Ini\", \"preferenceFile\": \"goodrc\", \"format\": \"ini\",\n"
    "   \"rows\": [{\"title\": \"Render\", \"key\": \"goodRender\", \"group\": \"General\", \"entry\": \"renderFolder\"}]}],\n"
    " \"colours\": []}";
constexpr const char *kJson1 =
    "{\"applications\": [\n"
    "  {\"id\": \"org.kde.kdenlive\", \"name\": \"Kdenlive (studio build)\", \"executables\": [\"/opt/studio/bin/kdenlive\"],\n"
    "   \"preferences\": {\"kinds\": [{\"key\": \"kdenlivePrefs\", \"name\": \"Preferences\", \"files\": [\"~/.config/studio/kdenliverc\"]}]}},\n"
    "  {\"id\": \"org.blender.Blender\", \"name\": [\"not\", \"text\"]}\n"
    " ]}";
constexpr const char *kJson2 =
    "{\"applications\": [{\"id\": \"org.kde.kdenlive\", \"name\": \"Kdenlive (studio build 2)\",\n"
    "  \"executables\": [\"/opt/studio/bin/kdenlive\"],\n"
    "  \"preferences\": {\"kinds\": [{\"key\": \"kdenlivePrefs\", \"name\": \"Preferences\", \"files\": [\"~/.config/studio/kdenliverc\"]}]}}]}";
constexpr const char *kJson3 =
    "{\"applications\": [{\"id\": \"org.studio.Only\", \"name\": \"Only\"}]}";
constexpr const char *kJson4 =
    "{\"applications\": [{\"id\": \"com.studio.Broken\", \"name\": \"Broken\", \"executables\": [\"../../bin/sh\"]}]}";

const T::App *appIn(const ZDCatalogue::Catalogue &c, const QString &id)
{
    for (const T::App &a : c.applications)
        if (a.bundleID == id)
            return &a;
    return nullptr;
}

qsizetype indexOf(const ZDCatalogue::Catalogue &c, const QString &id)
{
    for (qsizetype i = 0; i < c.applications.size(); ++i)
        if (c.applications.at(i).bundleID == id)
            return i;
    return -1;
}

bool hasKind(const ZDCatalogue::Catalogue &c, const QString &key, QString *firstFile = nullptr)
{
    for (const auto &app : c.preferences)
        for (const auto &kind : app.kinds)
            if (kind.key == key) {
                if (firstFile && !kind.files.isEmpty())
                    *firstFile = kind.files.first().relative;
                return true;
            }
    return false;
}

bool hasCleaning(const ZDCatalogue::Catalogue &c, const QString &id)
{
    return std::any_of(c.cleaning.cbegin(), c.cleaning.cend(), [&](const T::CleaningTask &t) { return t.uniqueID == id; });
}

} // namespace

class TestZDCatalogue : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_console;

private Q_SLOTS:
    void brokenEntriesRefusedOthersLoad()
    {
        const QString shipped = m_console.path(u"usr/share/kestra/catalogue.d"_s);
        const QString file = shipped + u"/50-studio.json"_s;
        QVERIFY(zdtest::writeStudioFile(file, kJson0));
        QVERIFY(zdtest::writeStudioFile(shipped + u"/60-garbage.json"_s, "{\"applications\": [ {\"id\": "));

        const ZDCatalogue::Catalogue c = ZDCatalogue::load({shipped});
        const QString problems = c.problems.join(u'\n');
        const auto refused = [&](const QString &entry, const QString &why) {
            for (const QString &p : c.problems)
                if (p.startsWith(file + u": applications entry "_s + entry + u" refused: "_s) && p.contains(why))
                    return true;
            return false;
        };
        QVERIFY2(refused(u"\"com.studio.BadType\""_s, u"\"name\" is not text"_s), qPrintable(problems));
        QVERIFY2(refused(u"\"com.studio.Unknown\""_s, u"unknown key \"colour\""_s), qPrintable(problems));
        QVERIFY2(refused(u"\"com.studio.Escape\""_s, u"escapes its folder"_s), qPrintable(problems));
        QVERIFY2(refused(u"\"com.studio.Outside\""_s, u"outside the folders allowed"_s), qPrintable(problems));
        QVERIFY2(refused(u"\"com.studio.Everything\""_s, u"whole folder"_s), qPrintable(problems));
        QVERIFY2(refused(u"#7"_s, u"missing \"id\""_s), qPrintable(problems));
        QVERIFY2(problems.contains(file + u": unknown section \"colours\""_s), qPrintable(problems));
        QVERIFY2(problems.contains(shipped + u"/60-garbage.json: not a JSON object"_s), qPrintable(problems));
        QVERIFY2(refused(u"\"com.studio.Clash\""_s, u"its cleaning task \"fcpWaveform\" is used already"_s), qPrintable(problems));
        QVERIFY2(problems.contains(file + u": paths entry \"Bad Format\" refused: \"format\" is neither"_s), qPrintable(problems));
        QVERIFY2(problems.contains(file + u": paths entry \"Bad Entry\" refused: \"entry\" holds"_s), qPrintable(problems));
        QCOMPARE(c.problems.size(), 11);
        const auto good = std::find_if(c.paths.cbegin(), c.paths.cend(), [](const auto &a) { return a.title == u"Good Ini"_s; });
        QVERIFY(good != c.paths.cend() && good->ini);
        QCOMPARE(good->rows.value(0).iniGroup, u"General"_s);
        QCOMPARE(good->rows.value(0).iniEntry, u"renderFolder"_s);

        // The rest: the good entry, the section's own task, the suite's and the studio's entries.
        QVERIFY(appIn(c, u"com.studio.Good"_s));
        QCOMPARE(appIn(c, u"com.studio.Good"_s)->crashNames, QStringList{u"good"_s});
        for (const char *gone : {"com.studio.BadType", "com.studio.Unknown", "com.studio.Escape", "com.studio.Outside",
                                 "com.studio.Clash"})
            QVERIFY(!appIn(c, QLatin1String(gone)));
        QVERIFY(hasCleaning(c, u"goodCache"_s));
        QVERIFY(!hasCleaning(c, u"escapeCache"_s) && !hasCleaning(c, u"all"_s));
        QVERIFY(appIn(c, u"com.apple.color"_s) && appIn(c, u"org.kde.kdenlive"_s) && appIn(c, u"org.blender.Blender"_s));
        QVERIFY(hasCleaning(c, u"fcpWaveform"_s) && hasCleaning(c, u"kdenliveCache"_s));
    }

    void administratorOverridesShippedEntry()
    {
        const QString shipped = m_console.path(u"usr/share/kestra/catalogue.d"_s);
        const QString admin = m_console.path(u"etc/xdg/kestra/catalogue.d"_s);
        QDir(shipped).removeRecursively();
        const ZDCatalogue::Catalogue before = ZDCatalogue::load({shipped, admin});
        QVERIFY2(before.problems.isEmpty(), qPrintable(before.problems.join(u'\n')));
        const qsizetype at = indexOf(before, u"org.kde.kdenlive"_s);
        QVERIFY(at >= 0 && hasKind(before, u"kdenliveLayouts"_s) && hasCleaning(before, u"kdenliveCache"_s));

        QVERIFY(zdtest::writeStudioFile(admin + u"/10-in-house.json"_s, kJson1));
        QVERIFY(zdtest::writeStudioFile(admin + u"/20-later.json"_s, kJson2));
        const ZDCatalogue::Catalogue after = ZDCatalogue::load({shipped, admin});
        QCOMPARE(after.problems.size(), 1);
        QVERIFY(after.problems.first().startsWith(admin + u"/10-in-house.json: applications entry \"org.blender.Blender\""_s));

        // In the shipped entry's place, the later file winning; what the old entry brought is gone.
        QCOMPARE(after.applications.size(), before.applications.size());
        QCOMPARE(indexOf(after, u"org.kde.kdenlive"_s), at);
        const T::App *kdenlive = appIn(after, u"org.kde.kdenlive"_s);
        QCOMPARE(kdenlive->name, u"Kdenlive (studio build 2)"_s);
        QCOMPARE(kdenlive->executables, QStringList{u"/opt/studio/bin/kdenlive"_s});
        QString file;
        QVERIFY(hasKind(after, u"kdenlivePrefs"_s, &file));
        QCOMPARE(file, u"studio/kdenliverc"_s);
        QVERIFY(!hasKind(after, u"kdenliveLayouts"_s) && !hasCleaning(after, u"kdenliveCache"_s));
        // A refused override leaves the shipped entry as it was.
        QCOMPARE(appIn(after, u"org.blender.Blender"_s)->name, u"Blender"_s);

        // A package's file of a built-in file's name is read instead of it.
        QVERIFY(zdtest::writeStudioFile(shipped + u"/10-linux-studio.json"_s, kJson3));
        const ZDCatalogue::Catalogue shadowed = ZDCatalogue::load({shipped});
        QVERIFY(appIn(shadowed, u"org.studio.Only"_s) && !appIn(shadowed, u"org.blender.Blender"_s));
        QVERIFY(appIn(shadowed, u"com.apple.color"_s));
        QDir(shipped).removeRecursively();
        QDir(admin).removeRecursively();
    }

    void studioWorkstationListedByRealAgent()
    {
        ZDRealAgent agent;
        const auto at = [&agent](const QString &relative) { return agent.root() + u'/' + relative; };
        QVERIFY(zdtest::layOutStudioApps(agent.root(), {u"23.08.5-1"_s, u"4.0.2"_s}));
        // Krita from Flathub, as flatpak lays out a system installation.
        const QString krita = at(u"var/lib/flatpak/app/org.kde.krita"_s);
        QVERIFY(zdtest::writeStudioFile(krita + u"/x86_64/stable/0f1e2d/files/share/metainfo/org.kde.krita.metainfo.xml"_s,
                      "<?xml version=\"1.0\"?>\n<component type=\"desktop-application\">\n <id>org.kde.krita</id>\n"
                      " <releases>\n  <release version=\"5.2.2\" date=\"2023-12-06\"/>\n"
                      "  <release version=\"5.2.1\" date=\"2023-11-02\"/>\n </releases>\n</component>\n"));
        QVERIFY(QFile::link(u"0f1e2d"_s, krita + u"/x86_64/stable/active"_s));
        QVERIFY(QFile::link(u"x86_64/stable"_s, krita + u"/current"_s));
        QVERIFY(zdtest::writeStudioFile(at(u"var/lib/flatpak/exports/bin/org.kde.krita"_s), "#!/bin/sh\nexec flatpak run org.kde.krita \"$@\"\n", true));
        // Blender's add-ons of two versions: a folder add-on and a one-file add-on.
        QVERIFY(zdtest::writeStudioFile(at(u"home/.config/blender/4.0/scripts/addons/node_wrangler/__init__.py"_s), "bl_info = {}\n"));
        QVERIFY(zdtest::writeStudioFile(at(u"home/.config/blender/4.1/scripts/addons/measureit.py"_s), "bl_info = {}\n"));
        // The agent's own bad catalogue entry: logged, the rest served.
        QVERIFY(zdtest::writeStudioFile(at(u"etc/xdg/kestra/catalogue.d/50-broken.json"_s),
                      kJson4));
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Quellar.app"_s, at(u"opt/Quellar.app"_s)));
        QVERIFY2(agent.startAlone(ZDRealAgent::freePort(), "grading-1"), qPrintable(agent.output()));
        const QString kestra = zdtest::buildPath(u"bin/kestra"_s);
        QCOMPARE(zdtest::run(kestra, {u"add"_s, u"grading"_s, u"127.0.0.1"_s, QString::number(agent.port())}), 0);
        const auto run = [&kestra](QStringList args) {
            return zdtest::runProgram(kestra, args << u"--no-browse"_s << u"--hosts"_s << u"grading"_s << u"--json"_s);
        };

        const zdtest::Ran apps = run({u"apps"_s});
        QMap<QString, QJsonObject> rows;
        for (const QJsonValue &r : QJsonDocument::fromJson(apps.out.toUtf8()).array())
            rows.insert(r[u"name"_s].toString(), r.toObject());
        QVERIFY2(rows.contains(u"Kdenlive"_s), qPrintable(apps.out + apps.err));
        // The package database's version first; Blender's package is gone, so its own output.
        QCOMPARE(rows[u"Kdenlive"_s][u"version"_s].toString(), u"23.08.5-1"_s);
        QCOMPARE(rows[u"Kdenlive"_s][u"status"_s].toString(), u"Not running"_s);
        QCOMPARE(rows[u"Blender"_s][u"version"_s].toString(), u"4.0.2"_s);
        QCOMPARE(rows[u"Blender"_s][u"status"_s].toString(), u"Not running"_s);
        QCOMPARE(rows[u"Krita"_s][u"version"_s].toString(), u"5.2.2"_s);
        QCOMPARE(rows[u"GIMP"_s][u"status"_s].toString(), u"Not installed"_s);
        // The user's log folder, or the computer's when the agent runs as root.
        QString log;
        for (const char *folder : {"home/.local/state/log", "var/log"})
            log += QString::fromUtf8(ZDTestSandbox::readFile(at(QLatin1String(folder) + u"/Zendrel/KestraClient.1.log"_s)));
        QVERIFY2(log.contains(u"50-broken.json: applications entry \"com.studio.Broken\" refused: \"executables\""_s),
                 qPrintable(log.right(2000)));

        QStringList addons;
        for (const QJsonValue &r : QJsonDocument::fromJson(run({u"plugins"_s}).out.toUtf8()).array())
            if (r[u"type"_s] == u"Blender Add-on"_s)
                addons << r[u"children"_s][0][u"fullPath"_s].toString().section(u"/blender/"_s, 1);
        addons.sort();
        QCOMPARE(addons, (QStringList{u"4.0/scripts/addons/node_wrangler"_s, u"4.1/scripts/addons/measureit.py"_s}));

        // A real crash of the "blender" program: its report passes the filter and is listed.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, at(u"home"_s));
        env.insert(u"XDG_STATE_HOME"_s, at(u"home/.local/state"_s));
        env.insert(u"KESTRA_SYSTEM_ROOT"_s, agent.root());
        const zdtest::Ran crash =
            zdtest::runProgram(zdtest::buildPath(u"tools/standins/Motion"_s), {u"--name"_s, u"blender"_s},
                               zdtest::crashingChildEnvironment(env));
        QCOMPARE(crash.status, QProcess::CrashExit);
        const QString report = QRegularExpression(u"crash report (\\S+\\.crash)"_s).match(crash.err).captured(1);
        QVERIFY2(QFileInfo(report).fileName().startsWith(u"blender_"_s), qPrintable(crash.err));
        const zdtest::Ran listed = run({u"crashlogs"_s});
        const QJsonArray logs = QJsonDocument::fromJson(listed.out.toUtf8()).object().value(u"logs"_s).toArray();
        QVERIFY2(logs.size() == 1, qPrintable(listed.out + listed.err));
        QCOMPARE(logs.first()[u"filename"_s].toString(), report);
        QCOMPARE(logs.first()[u"app"_s].toString(), u"blender"_s);
    }
};

QTEST_GUILESS_MAIN(TestZDCatalogue)
#include "tst_zdcatalogue.moc"
