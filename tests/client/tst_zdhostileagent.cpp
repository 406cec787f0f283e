// A hostile peer against the real agent: planted tools, a flood of registrations, an oversized forward, password
// guessing and settings junk. Nothing runs, is written or dropped; the legitimate console is still served.
#include "link/ZDConnection.h"
#include "rights/ZDEncryption.h"
#include "rpc/ZDOrvProtocol.h"
#include "ZDEnrolledPeer.h"
#include "bus/ZDLocalCallbackClient.h"
#include "ZDRealAgent.h"
#include "ZDRecordingConsole.h"
#include "rpc/ZDRemoteError.h"
#include "ZDTestSandbox.h"
#include "wire/ZDWireMessage.h"

#include <QDirIterator>
#include <QTcpSocket>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
QString op(const char *name) { return QString::fromLatin1(name); }
bool got(const ZDRecordingConsole &console, const QString &text)
{
    const auto errors = console.of(op(ZDOrv::kAddErrorToQueueUserInfo));
    return std::any_of(errors.cbegin(), errors.cend(),
                       [&](auto &e) { return e.value(0).template value<ZDRemoteError>().userInfo().value(u"info"_s) == text; });
}
} // namespace

class TestZDHostileAgent : public QObject
{
    Q_OBJECT
    ZDRealAgent m_agent;
    std::shared_ptr<ZDConnection> m_link; // the legitimate console's
    ZDRemoteProxyPtr m_console, m_hostile;
    ZDRecordingConsole m_log;
    QList<std::shared_ptr<ZDRecordingConsole>> m_flood; // the attacker's registrations

    QString path(const QString &sub) const { return m_agent.root() + sub; }
    QString agentLog() const
    {
        const QStringList logs = m_console->call(op(ZDOrv::kPopulateZDLogFilenames)).toStringList();
        return QString::fromUtf8(ZDTestSandbox::readFile(logs.filter(QRegularExpression(u"/KestraClient\\.1\\.log$"_s)).value(0)));
    }
    // An error the agent posts now reaches the legitimate console.
    bool consoleHears(const QString &text)
    {
        m_console->call(op(ZDOrv::kExecuteTask), {u"nosuch"_s, text, QVariantList()});
        return QTest::qWaitFor([&] { return got(m_log, text); }, 30000);
    }
    int floodHeard(const QString &text) const
    {
        return int(std::count_if(m_flood.cbegin(), m_flood.cend(), [&](auto &c) { return got(*c, text); }));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built");
        ::umask(022);
        // A proper tool, one in the user's own folder, one reached by a link into a folder anyone may write.
        const QString apps = qEnvironmentVariable("KESTRA_APPS_DIR"), ondrel = u"/opt/Zendrel/Kestra Maintenance Tools/Ondrel.app"_s;
        QVERIFY(zdtest::copyTree(apps + u"/Ondrel.app"_s, path(ondrel)));
        QVERIFY(zdtest::copyTree(apps + u"/Ketril.app"_s, path(u"/home/Applications/Ketril.app"_s)));
        QVERIFY(zdtest::copyTree(apps + u"/Tidwell.app"_s, path(u"/srv/drop/Tidwell.app"_s)));
        QVERIFY(QFile::link(path(u"/srv/drop/Tidwell.app"_s), path(u"/opt/Tidwell.app"_s)));
        QVERIFY(::chmod(QFile::encodeName(path(u"/srv/drop"_s)).constData(), 0777) == 0);
        // Ondrel's table lets a console add "-x" to "succeed", nothing else.
        const QVariantMap task {{u"id"_s, u"succeed"_s}, {u"allowedOptions"_s, QVariantList {u"-x"_s}},
                                {u"command"_s, QVariantList {u"-task"_s, u"succeed"_s}}};
        QVERIFY(ZDPropertyList::writeFile(path(ondrel + u"/Contents/ZDTasks.plist"_s), QVariantMap {{u"ZDTasks"_s, QVariantList {task}}}));
        QVERIFY(m_agent.start(ZDRealAgent::freePort()));
        ZDConnectionOptions workers; // the attacker's objects answer while the console waits
        workers.serveMode = ZDServeMode::WorkerThreads;
        // The hostile peer holds a key of its own that the computer enrolled too: these
        // are the bounds that hold even against a console the computer trusts.
        const ZDTlsIdentity insider = ZDTlsIdentity::generate(u"insider"_s, nullptr);
        QVERIFY(ZDEnrolledConsoles(path(u"/etc/xdg/com.zendrel.KestraClient.consoles.plist"_s)).add(insider.fingerprint, nullptr));
        m_link = ZDConnection::connectToHost(u"127.0.0.1"_s, m_agent.port(), {}, zdtest::enrolledOptions());
        m_console = m_link->rootProxy();
        m_hostile = ZDConnection::connectToHost(u"127.0.0.1"_s, m_agent.port(), {}, zdtest::enrolledOptions(workers, insider))->rootProxy();
        m_console->call(op(ZDOrv::kSetErrorCallback), {QVariant::fromValue(m_log.object)});
    }

    void toolsWithRightsComeFromProtectedFolders()
    {
        if (::geteuid() != 0)
            QSKIP("every run of a root agent has rights; this one is not root");
        const QString execute = op(ZDOrv::kExecuteTask);
        for (const QString &bundle : {u"com.zendrel.Ketril"_s, u"com.zendrel.Tidwell"_s})
            m_hostile->call(execute, {u"succeed"_s, bundle, QVariantList()});
        m_hostile->call(execute, {u"succeed"_s, u"com.zendrel.Ondrel"_s, QVariantList {u"--record"_s, path(u"/etc"_s)}});
        QVERIFY(consoleHears(u"after planted tools"_s));
        for (const QString &record : {u"/var/lib/standins/Ketril"_s, u"/var/lib/standins/Tidwell"_s, u"/etc/Ondrel"_s})
            QVERIFY(!QFile::exists(path(record)));
        QTRY_VERIFY_WITH_TIMEOUT(agentLog().contains(u"others may write to "_s + path(u"/srv/drop"_s)), 30000);
        m_console->call(execute, {u"succeed"_s, u"com.zendrel.Ondrel"_s, QVariantList {u"-x"_s}});
        QVERIFY(QFile::exists(path(u"/var/lib/standins/Ondrel/succeed.result"_s)));
    }

    // Every feature that runs a maker's tool, on a root agent (each run has rights): a copy in the user's
    // own folder (even one the user opted in), one owned by a user, one behind a folder anyone may write
    // to is never chosen; a protected copy is.
    void plantedToolsNeverRunAsRoot()
    {
        if (::geteuid() != 0)
            QSKIP("every run of a root agent has rights; this one is not root");
        const QString apps = qEnvironmentVariable("KESTRA_APPS_DIR"), planted = path(u"/planted"_s);
        QVERIFY(QDir().mkpath(planted));
        const auto plant = [&](const QString &name, const QString &where) {
            const QString exe = where + u"/Contents/MacOS/"_s + name;
            if (!QFileInfo(where).isDir() && !zdtest::copyTree(apps + u"/"_s + name + u".app"_s, where))
                return false;
            QFile::remove(exe);
            return ZDTestSandbox::writeFile(exe, "#!/bin/sh\n: > '" + QFile::encodeName(planted + u"/"_s + name) + "'\n")
                && ::chmod(QFile::encodeName(exe).constData(), 0755) == 0;
        };
        const auto giveAway = [](const QString &folder) {
            QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
            bool all = ::lchown(QFile::encodeName(folder).constData(), 65534, 65534) == 0;
            while (it.hasNext())
                all = ::lchown(QFile::encodeName(it.next()).constData(), 65534, 65534) == 0 && all;
            return all;
        };
        const QString userApps = u"/home/Applications/"_s, local = u"/opt/Zendrel/"_s;
        const struct
        {
            const char *name, *where, *op;
            QVariantList args;
        } rows[] = {
            {"Purgel", "user", "purgelRemoveApps:settings:", {QVariantMap(), QVariantMap {{u"obj1"_s, 0}}}},
            {"Kitterel", "owned", "kitterelTrashCaches:settings:", {QVariantMap(), QVariantMap {{u"obj1"_s, u"font"_s}}}},
            {"Tidwell", "writable", "fcsTidwellRunTasks:", {QVariantList {u"fcpWaveform"_s}}},
            {"Cadro", "writable", "cadroTaskDictionary", {}},
            {"Zendrel Nuvell", "user", "listZendrelNuvells", {}},
            {"Stowel", "user", "stowelBackups", {}},
            {"Tarnok", "owned", "tarnokPaths", {}},
        };
        QVariantList optedIn;
        for (const auto &row : rows) {
            const QString name = QLatin1String(row.name), where = QLatin1String(row.where);
            optedIn << u"com.zendrel."_s + QString(name).remove(u"Zendrel "_s);
            if (where == u"user"_s) {
                QVERIFY(plant(name, path(userApps + name + u".app"_s)));
            } else if (where == u"owned"_s) {
                QVERIFY(plant(name, path(local + name + u".app"_s)));
                QVERIFY(giveAway(path(local + name + u".app"_s)));
            } else {
                QVERIFY(plant(name, path(u"/srv/drop/"_s + name + u".app"_s)));
                const QString link = path(u"/opt/"_s + name + u".app"_s);
                QVERIFY(QFileInfo(link).isSymLink() || QFile::link(path(u"/srv/drop/"_s + name + u".app"_s), link));
            }
        }
        // The user's opt-in is for runs as the user; it never reaches a run with rights.
        const QString prefs = path(u"/home/.config/com.zendrel.KestraClient.plist"_s);
        QVariantMap all = ZDPropertyList::readDictionary(prefs);
        all.insert(u"userInstalledTools"_s, optedIn);
        QVERIFY(ZDPropertyList::writeFile(prefs, all));
        for (const auto &row : rows) {
            m_hostile->call(QString::fromLatin1(row.op), row.args);
            QVERIFY(consoleHears(u"after "_s + QLatin1String(row.op)));
        }
        QTest::qWait(500); // a detached run would have had its moment
        QCOMPARE(QDir(planted).entryList(QDir::Files), QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(agentLog().contains(u"belongs to user 65534"_s), 30000);
        // The same copy once root alone owns it is the one that runs.
        const QString tarnok = path(local + u"Tarnok.app"_s);
        QDirIterator it(tarnok, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        QVERIFY(::lchown(QFile::encodeName(tarnok).constData(), 0, 0) == 0);
        while (it.hasNext())
            QVERIFY(::lchown(QFile::encodeName(it.next()).constData(), 0, 0) == 0);
        m_hostile->call(u"tarnokPaths"_s, {});
        QTRY_COMPARE_WITH_TIMEOUT(QDir(planted).entryList(QDir::Files), QStringList {u"Tarnok"_s}, 30000);
    }

    void oneRegistrationCannotCrowdOrDropTheOthers()
    {
        for (int i = 0; i < 10; ++i) {
            m_flood << std::make_shared<ZDRecordingConsole>();
            m_hostile->callOneway(op(ZDOrv::kSetErrorCallback), {QVariant::fromValue(m_flood.last()->object)});
        }
        // Its key holds 4 places; each registration beyond takes its own oldest one.
        int attempt = 0; // registrations settle on workers in any order
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
            const QString text = u"registered %1"_s.arg(++attempt);
            return consoleHears(text) && QTest::qWaitFor([&] { return floodHeard(text) >= 4; }, 2000) && floodHeard(text) == 4;
        })(), 60000);
        // Notices come from the computer's own tools only: the network may not post
        // them. A tool's notice grown past the frame limit costs no console its place.
        QVERIFY(!m_hostile->call(op(ZDOrv::kPing), {}).isValid());
        const ZDLocalCallbackClient tool;
        QTRY_VERIFY_WITH_TIMEOUT(tool.isAvailable(), 30000);
        QVERIFY(tool.call(op(ZDOrv::kPostErrorStringUserInfo),
                          {u"big"_s, QVariantMap {{u"pad"_s, QByteArray(ZDWireLimits().maxFrameBytes, 'x')}}}).ok);
        QTRY_VERIFY_WITH_TIMEOUT(agentLog().contains(u"cannot be sent to the consoles"_s), 30000);
        QVERIFY(consoleHears(u"after a forward too large"_s));
        QTRY_COMPARE_WITH_TIMEOUT(floodHeard(u"after a forward too large"_s), 4, 30000);
    }

    void guessingIsRefusedWithoutHoldingUpTasks()
    {
        const QString admin = u"kestra_ha%1"_s.arg(QCoreApplication::applicationPid());
        const QString password = u"Adm-%1"_s.arg(QRandomGenerator::system()->generate(), 0, 16);
        if (::geteuid() != 0 || !zdtest::makeAccount(admin, password, true))
            QSKIP("an administrator account can only be made as root, with the group sudo");
        const auto removeAccount = qScopeGuard([&] { zdtest::removeAccount(admin); });
        const auto validate = [&](const ZDRemoteProxyPtr &peer, const QString &guess) {
            return peer->call(op(ZDOrv::kValidateUsernamePassword), {admin, ZDEncryption::encryptCredential(guess)}).toBool();
        };
        for (int i = 0; i < 3; ++i)
            QVERIFY(!validate(m_hostile, u"guess%1"_s.arg(i)));
        // Held off: even the right password is refused unchecked, while the console's work goes on.
        QVERIFY(!validate(m_hostile, password));
        QTRY_VERIFY_WITH_TIMEOUT(agentLog().contains(u"Refused without checking"_s), 30000);
        QVERIFY(consoleHears(u"during a lockout"_s));
        QTRY_VERIFY_WITH_TIMEOUT(validate(m_console, password), 120000);
    }

    void settingsFromTheNetworkStayKnownAndSmall()
    {
        QVariantMap junk {{u"customPort"_s, u"evil"_s}, {u"autoUpdateCheck"_s, 0}};
        for (int i = 0; i < 64; ++i)
            junk.insert(u"junk%1"_s.arg(i), QByteArray(60 * 1024, 'j'));
        m_hostile->callOneway(op(ZDOrv::kSetNetworkClientSettings), {junk});
        QTRY_COMPARE_WITH_TIMEOUT(m_console->call(op(ZDOrv::kNetworkClientSettings)).toMap().value(u"autoUpdateCheck"_s).toInt(), 0, 30000);
        // The file the agent took its port from.
        const QString file = path(u"/home/.config/com.zendrel.KestraClient.plist"_s);
        QVERIFY(QFileInfo(file).size() < 4096);
        QCOMPARE(ZDPropertyList::readDictionary(file).value(u"customPort"_s).toInt(), int(m_agent.port()));
    }

    void forgedTimeOutAndTricklingKeepTheConsolesOn()
    {
        auto record = ZDRemoteObject::create();
        record->addOperation(op(ZDOrv::kProcessConfiguration), [](const QVariantList &) -> QVariant {
            throw ZDNamedException(QString::fromLatin1(ZDException::kTimeoutName), u"forged by the peer"_s);
        });
        m_hostile->callOneway(op(ZDOrv::kFetchInitialConfiguration), {QVariant::fromValue(record)});
        QVERIFY2(!m_agent.waitFor(u"NSPortTimeoutException - forged by the peer"_s).isEmpty(), qPrintable(m_agent.output()));
        QTcpSocket trickler; // half a frame, a byte at a time: never silent, never a hello
        trickler.connectToHost(u"127.0.0.1"_s, m_agent.port());
        QVERIFY(trickler.waitForConnected(5000));
        trickler.write(QByteArray::fromHex("000010"));
        for (int i = 0; i < 60 && trickler.state() == QAbstractSocket::ConnectedState; ++i)
            trickler.write("x"), trickler.waitForDisconnected(250);
        QVERIFY(trickler.state() != QAbstractSocket::ConnectedState);
        // A restart would come five seconds after the forged time-out: none comes.
        QVERIFY(!QTest::qWaitFor([&] { return !m_link->isValid(); }, 8000));
        QVERIFY(!ZDConnection::connectToHost(u"127.0.0.1"_s, m_agent.port())->rootProxy()->call(op(ZDOrv::kPing)).isValid());
        QVERIFY(m_link->isValid());
    }
};

QTEST_MAIN(TestZDHostileAgent)
#include "tst_zdhostileagent.moc"
