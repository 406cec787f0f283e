// Remote tasks end to end: the stand-in tools copied into a sandbox's applications
// folder, the agent's task operations vended over a real loopback connection, a
// real callback registry, the session bus for the tools' notifications, and real
// accounts for the privileged runs.
#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientTasks.h"
#include "link/ZDConnection.h"
#include "link/ZDConnectionServer.h"
#include "rights/ZDEncryption.h"
#include "bus/ZDLocalCallbackServer.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "bus/ZDNotificationCenter.h"
#include "rpc/ZDOrvContract.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "ZDRecordingConsole.h"
#include "rpc/ZDRemoteError.h"
#include "ZDTestSandbox.h"

#include <QApplication>
#include <QImage>
#include <QtTest>

#include "ZDTestProcess.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Per process: another run of this test (another build) must not remove them under us.
const QString kAdmin = QStringLiteral("kestra_ta%1").arg(::getpid()); // member of group sudo
const QString kUser = QStringLiteral("kestra_tu%1").arg(::getpid());  // no rights: runs the agent in one test
const QString kToolsFolder = QStringLiteral("opt/Zendrel/Kestra Maintenance Tools");
const QString kHost = QStringLiteral("Tasks-Test.local.");

using zdtest::copyTree;
using zdtest::run;

// The agent's task operations on 127.0.0.1, in this process or in a child run as another user.
std::unique_ptr<ZDConnectionServer> serveTasks(ZDCallbackRegistry &registry, ZDClientTasks &tasks, QString *error)
{
    auto root = ZDRemoteObject::create();
    root->setContract(ZDOrv::Side::Agent, [](const char *op, const std::function<QVariant()> &body) {
        return ZDClientTasks::guarded(op, body, {});
    });
    tasks.addOperations(*root);
    root->addOperation(QString::fromLatin1(ZDOrv::kSetErrorCallback), [&registry](const QVariantList &args) {
        registry.setErrorCallback(ZDRemoteProxy::fromVariant(args.value(0)));
        return QVariant();
    });
    auto server = std::make_unique<ZDConnectionServer>();
    server->setRootObject(root);
    server->setRegisteredName(QStringLiteral("KestraClient - ") + kHost);
    return server->listen(QStringLiteral("127.0.0.1"), 0, error) ? std::move(server) : nullptr;
}

// The child: prints "port=<port>" once it serves, and ends when its standard input closes.
int runTasksAgent(int argc, char **argv)
{
    QApplication app(argc, argv);
    ZDLog::createNewLog(QStringLiteral("tst_zdclienttasks-agent"));
    ZDNotificationCenter center;
    ZDCallbackRegistry registry([] { return kHost; });
    ZDClientTasks tasks(registry, &center);
    tasks.populateZDApps();
    QString error;
    const auto server = serveTasks(registry, tasks, &error);
    if (!server) {
        std::fprintf(stderr, "listen: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("port=%u\n", unsigned(server->port()));
    std::fflush(stdout);
    zdtest::quitWhenInputCloses(app);
    return app.exec();
}

} // namespace

class TestZDClientTasks : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::unique_ptr<ZDNotificationCenter> m_center;
    std::unique_ptr<ZDCallbackRegistry> m_registry;
    std::unique_ptr<ZDClientTasks> m_tasks;
    std::unique_ptr<ZDConnectionServer> m_server;
    std::shared_ptr<ZDConnection> m_link;
    ZDRemoteProxyPtr m_agent;
    ZDRecordingConsole m_log; // the console's callback object
    QString m_adminPassword;
    QString m_noAdminReason;
    QString tools() const { return m_sandbox->path(kToolsFolder); }
    QString resultFile(const QString &tool, const QString &name) const
    {
        return m_sandbox->path(QStringLiteral("var/lib/standins/%1/%2.result").arg(tool, name));
    }
    // The stand-in tool's record: every "key=" line's value, in order.
    QStringList result(const QString &tool, const QString &name, const QByteArray &key = "arg") const
    {
        QStringList values;
        for (const QByteArray &line : ZDTestSandbox::readFile(resultFile(tool, name)).split('\n'))
            if (line.startsWith(key + '='))
                values << QString::fromUtf8(line.mid(key.size() + 1));
        return values;
    }
    QString logText()
    {
        ZDLog::finishWriting();
        const QStringList logs = ZDLog::availableLogs();
        return logs.isEmpty() ? QString() : QString::fromUtf8(ZDTestSandbox::readFile(logs.first()));
    }
    // Errors reach the console in the order they were posted: a known error after
    // the call under test proves that the call itself posted nothing more.
    QList<QVariantList> errorsUpToMarker()
    {
        m_agent->call(QString::fromLatin1(ZDOrv::kExecuteTask),
                      {QStringLiteral("marker"), QStringLiteral("com.zendrel.NoSuchMarker"), QVariantList()});
        const auto isMarker = [](const QVariantList &c) {
            return c.value(0).value<ZDRemoteError>().userInfo().value(QStringLiteral("info"))
                == QVariant(QStringLiteral("com.zendrel.NoSuchMarker"));
        };
        const bool arrived = QTest::qWaitFor([&] {
            const QList<QVariantList> errors = m_log.of(ZDOrv::kAddErrorToQueueUserInfo);
            return !errors.isEmpty() && isMarker(errors.last());
        }, 60000);
        if (!arrived) {
            QTest::qFail("the marker error never reached the console", __FILE__, __LINE__);
            return {QVariantList {QStringLiteral("no marker")}};
        }
        QList<QVariantList> errors = m_log.of(ZDOrv::kAddErrorToQueueUserInfo);
        errors.removeLast();
        return errors;
    }
    static ZDRemoteError errorOf(const QVariantList &call) { return call.value(0).value<ZDRemoteError>(); }
    QByteArray encrypted(const QString &password) const { return ZDEncryption::encryptCredential(password); }
    ZDRemoteObjectPtr makeCallback(QList<QVariantMap> *answers)
    {
        auto callback = ZDRemoteObject::create();
        callback->addOperation(QString::fromLatin1(ZDOrv::kPostCallback), [answers](const QVariantList &args) {
            *answers << args.value(0).toMap(); // runs on this thread: the connection's owner
            return QVariant();
        }, ZDRemoteObject::Call::Oneway);
        return callback;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_zdclienttasks"));
        // Tools where the agent looks first, others in the applications folder, and decoys the
        // scan must pass over: someone else's bundle with the marker (Other), ours without it (Peltrim).
        const char *suite = "opt/Zendrel/Kestra Maintenance Tools/";
        for (const auto &[tool, to] : {std::pair {"Ondrel", suite}, {"Ketril", suite}, {"Mendo", suite}, {"Zendrel Nuvell", suite},
                                       {"Tidwell", "opt/"}, {"Brindel", "opt/Plugins/"}, {"Cadro", "opt/Avid Tools/"},
                                       {"Skelder", "opt/Other.app"}, {"Peltrim", "opt/"}}) {
            const QString name = QLatin1String(tool) + QStringLiteral(".app"), folder = QLatin1String(to);
            QVERIFY2(copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + QLatin1Char('/') + name,
                              m_sandbox->path(folder.endsWith(u'/') ? folder + name : folder)), tool);
        }
        QVariantMap info = ZDPropertyList::readDictionary(m_sandbox->path(QStringLiteral("opt/Other.app/Contents/Info.plist")));
        info.insert(QStringLiteral("CFBundleIdentifier"), QStringLiteral("org.example.Other"));
        QVERIFY(ZDPropertyList::writeFile(m_sandbox->path(QStringLiteral("opt/Other.app/Contents/Info.plist")), info));
        QVERIFY(QFile::remove(m_sandbox->path(QStringLiteral("opt/Peltrim.app/Contents/ZDUpdates.plist"))));
        // A link back into the applications folder must not send the scan round in circles.
        QVERIFY(QFile::link(m_sandbox->path(QStringLiteral("opt")), m_sandbox->path(QStringLiteral("opt/Zendrel/loop"))));
        // Ketril ships its own icon.
        QImage red(64, 64, QImage::Format_RGB32);
        red.fill(Qt::red);
        QVERIFY(red.save(tools() + QStringLiteral("/Ketril.app/Contents/Resources/Ketril.png")));
        info = ZDPropertyList::readDictionary(tools() + QStringLiteral("/Ketril.app/Contents/Info.plist"));
        info.insert(QStringLiteral("CFBundleIconFile"), QStringLiteral("Ketril"));
        QVERIFY(ZDPropertyList::writeFile(tools() + QStringLiteral("/Ketril.app/Contents/Info.plist"), info));
        m_center = std::make_unique<ZDNotificationCenter>();
        QVERIFY2(m_center->isConnected(), "run inside scripts/test-services.sh for a session bus");
        m_registry = std::make_unique<ZDCallbackRegistry>([] { return kHost; });
        m_tasks = std::make_unique<ZDClientTasks>(*m_registry, m_center.get());
        QString error;
        m_server = serveTasks(*m_registry, *m_tasks, &error);
        QVERIFY2(m_server, qPrintable(error));
        m_link = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
        m_agent = m_link->rootProxy();
        m_agent->call(QString::fromLatin1(ZDOrv::kSetErrorCallback), {QVariant::fromValue(m_log.object)});
        QTRY_COMPARE_WITH_TIMEOUT(m_registry->count(), 1, 30000);
        // A real administrator for the privileged runs (as root, credentials go through PAM).
        m_adminPassword = QStringLiteral("Adm'$(id) ;%1").arg(QRandomGenerator::system()->generate(), 0, 16);
        zdtest::removeAccount(kUser);
        if (!ZDLocalPaths::isRoot())
            m_noAdminReason = QStringLiteral("accounts can only be made as root");
        else if (run(QStringLiteral("/usr/bin/getent"), {QStringLiteral("group"), QStringLiteral("sudo")}) != 0)
            m_noAdminReason = QStringLiteral("the group sudo is missing (scripts/bootstrap.sh installs sudo)");
        else if (!zdtest::makeAccount(kAdmin, m_adminPassword, true))
            m_noAdminReason = QStringLiteral("could not create the administrator account");
    }
    void cleanupTestCase()
    {
        m_link.reset();
        m_server.reset();
        m_tasks.reset();
        if (ZDLocalPaths::isRoot()) {
            zdtest::removeAccount(kAdmin);
            zdtest::removeAccount(kUser);
        }
    }
    void init() { m_log.clear(); }
    void scanFindsOnlyTheSuitesTools()
    {
        QVERIFY(!m_tasks->zdAppsPopulated());
        m_tasks->populateZDApps();
        QVERIFY(m_tasks->zdAppsPopulated());
        QStringList names;
        for (const QString &path : m_tasks->zdAppArray())
            names << QFileInfo(path).fileName();
        // Depth first in listing order; skipped folders, foreign and unmarked bundles left out.
        QCOMPARE(names, (QStringList {QStringLiteral("Tidwell.app"), QStringLiteral("Ketril.app"), QStringLiteral("Mendo.app"),
                                      QStringLiteral("Ondrel.app"), QStringLiteral("Zendrel Nuvell.app")}));
        QVERIFY(logText().contains(QStringLiteral("Warning: Symbolic link links back to itself.")));
        QCOMPARE(m_tasks->orvVersion(), (QVariantMap {{QStringLiteral("version"), QStringLiteral("150")},
                                                      {QStringLiteral("versionString"), QStringLiteral("1.5.0")}}));
    }
    void lookupByBundleIdentifier()
    {
        // "nuvell" is looked up under the folder name "zendrelnuvell".
        QCOMPARE(m_tasks->pathForAppWithBundleID(QStringLiteral("com.zendrel.Nuvell")),
                 tools() + QStringLiteral("/Zendrel Nuvell.app"));
        QCOMPARE(m_tasks->exePathForAppWithBundleID(QStringLiteral("com.zendrel.nuvell"), ZDClientTasks::Run::AsUser),
                 tools() + QStringLiteral("/Zendrel Nuvell.app/Contents/MacOS/Zendrel Nuvell"));
        QCOMPARE(m_tasks->pathForAppWithBundleID(QStringLiteral("com.zendrel.Tidwell")),
                 m_sandbox->path(QStringLiteral("opt/Tidwell.app")));
        // The name must match and so must the identifier inside.
        QCOMPARE(m_tasks->pathForAppWithBundleID(QStringLiteral("org.example.Other")),
                 m_sandbox->path(QStringLiteral("opt/Other.app")));
        QVERIFY(m_tasks->pathForAppWithBundleID(QStringLiteral("com.zendrel.Other")).isEmpty());
        QVERIFY(m_tasks->pathForAppWithBundleID(QString()).isEmpty());
    }
    void listingBothTableForms()
    {
        const QVariantList records = m_agent->call(QString::fromLatin1(ZDOrv::kZdAppTasks)).toList();
        QMap<QString, QVariantMap> byId;
        for (const QVariant &r : records)
            byId.insert(r.toMap().value(QStringLiteral("bundleid")).toString(), r.toMap());
        QCOMPARE(byId.keys(), (QStringList {QStringLiteral("com.zendrel.Ketril"), QStringLiteral("com.zendrel.Mendo"),
                                            QStringLiteral("com.zendrel.Nuvell"), QStringLiteral("com.zendrel.Ondrel"),
                                            QStringLiteral("com.zendrel.Tidwell")}));
        const QVariantMap ondrel = byId.value(QStringLiteral("com.zendrel.Ondrel"));
        QCOMPARE(ondrel.value(QStringLiteral("name")).toString(), QStringLiteral("Ondrel"));
        const QVariantMap first = ondrel.value(QStringLiteral("tasks")).toList().value(0).toMap();
        QCOMPARE(first.value(QStringLiteral("id")).toString(), QStringLiteral("succeed"));
        QCOMPARE(first.value(QStringLiteral("command")).toStringList(), (QStringList {QStringLiteral("-task"), QStringLiteral("succeed")}));
        // The old form is listed with its commands split and without ids.
        const QVariantList old = byId.value(QStringLiteral("com.zendrel.Mendo")).value(QStringLiteral("tasks")).toList();
        QCOMPARE(old.size(), 2);
        QStringList commands;
        for (const QVariant &t : old) {
            QVERIFY(!t.toMap().contains(QStringLiteral("id")));
            QVERIFY(t.toMap().value(QStringLiteral("description")).toString().startsWith(QStringLiteral("Mendo: ")));
            commands << t.toMap().value(QStringLiteral("command")).toStringList().join(QLatin1Char('|'));
        }
        QVERIFY(commands.contains(QStringLiteral("-task|answer|--output|Done.")));
        // Icons: 48 x 48 PNG, the tool's own when it ships one.
        const QImage generic = QImage::fromData(ondrel.value(QStringLiteral("icon")).toByteArray(), "PNG");
        QCOMPARE(generic.size(), QSize(48, 48));
        const QImage own = QImage::fromData(byId.value(QStringLiteral("com.zendrel.Ketril")).value(QStringLiteral("icon")).toByteArray(), "PNG");
        QCOMPARE(own.size(), QSize(48, 48));
        QCOMPARE(QColor(own.pixel(24, 24)), QColor(Qt::red));
    }
    void runAsUser()
    {
        const QString op = QString::fromLatin1(ZDOrv::kExecuteTask);
        // Options follow the task's command, in order, each one argument.
        m_agent->call(op, {QStringLiteral("succeed"), QStringLiteral("com.zendrel.Ondrel"),
                           QVariantList {QStringLiteral("--flag"), QStringLiteral("two words; $(id)")}});
        QCOMPARE(result(QStringLiteral("Ondrel"), QStringLiteral("succeed")),
                 (QStringList {QStringLiteral("succeed"), QStringLiteral("--flag"), QStringLiteral("two words; $(id)")}));
        QCOMPARE(result(QStringLiteral("Ondrel"), QStringLiteral("succeed"), "uid").value(0), QString::number(::getuid()));
        QVERIFY(errorsUpToMarker().isEmpty());
        m_log.clear();
        // A failing run posts its exit status as the code, without info.
        m_agent->call(op, {QStringLiteral("fail"), QStringLiteral("com.zendrel.Ondrel"), QVariantList()});
        QList<QVariantList> errors = errorsUpToMarker();
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errorOf(errors.first()).code(), 3);
        QCOMPARE(errorOf(errors.first()).domain(), QStringLiteral("orvDomain"));
        QVERIFY(!errorOf(errors.first()).userInfo().contains(QStringLiteral("info")));
        QCOMPARE(errors.first().value(1).toMap().value(QStringLiteral("hostname")).toString(), kHost);
        m_log.clear();
        // The first of two tasks with one id runs.
        m_agent->call(op, {QStringLiteral("twice"), QStringLiteral("com.zendrel.Ondrel"), QVariantList()});
        QVERIFY(QFile::exists(resultFile(QStringLiteral("Ondrel"), QStringLiteral("twice-first"))));
        QVERIFY(!QFile::exists(resultFile(QStringLiteral("Ondrel"), QStringLiteral("twice-second"))));
    }
    void toolReportsThroughTheLocalCallbackObject()
    {
        ZDLocalCallbackServer server;
        server.addOperation(QString::fromLatin1(ZDOrv::kPostFinishedTask), 0, [this](const QVariantList &) {
            m_registry->postFinishedTask();
            return QVariant();
        });
        if (server.start() != ZDLocalCallbackServer::Status::Registered)
            QSKIP("another process holds the local callback name on this bus");
        m_registry->shouldPostFinishedTaskWithTimeout(600);
        m_agent->call(QString::fromLatin1(ZDOrv::kExecuteTask), {QStringLiteral("local"), QStringLiteral("com.zendrel.Ondrel"), QVariant()});
        QTRY_COMPARE_WITH_TIMEOUT(m_log.of(ZDOrv::kTaskFinished).size(), 1, 30000);
    }
    void taskErrors()
    {
        const struct { const char *task, *bundle; int code; bool infoAsUser; } cases[] = {
            {"succeed", "com.zendrel.Aubrel", 1000, true}, // not installed
            {"succeed", "com.zendrel.Mendo", 1002, true},  // old table form
            {"nosuch", "com.zendrel.Ondrel", 1003, false},
            {"empty", "com.zendrel.Ondrel", 1003, false}}; // empty command
        for (const auto &c : cases) {
            const QString task = QString::fromLatin1(c.task), bundle = QString::fromLatin1(c.bundle);
            m_log.clear();
            m_agent->call(QString::fromLatin1(ZDOrv::kExecuteTask), {task, bundle, QVariantList()});
            QList<QVariantList> errors = errorsUpToMarker();
            QVERIFY2(errors.size() == 1, c.task);
            QCOMPARE(errorOf(errors.first()).code(), c.code);
            QCOMPARE(errorOf(errors.first()).userInfo().value(QStringLiteral("info")),
                     c.infoAsUser ? QVariant(bundle) : QVariant());
            m_log.clear();
            // With rights: the identifier always goes along, and a waiting console is released.
            m_registry->shouldPostFinishedTaskWithTimeout(600);
            m_agent->call(QString::fromLatin1(ZDOrv::kAuthExecuteTask),
                          {task, bundle, QVariantList(), kAdmin, encrypted(QStringLiteral("irrelevant"))});
            errors = errorsUpToMarker();
            QVERIFY2(errors.size() == 1, c.task);
            QCOMPARE(errorOf(errors.first()).code(), c.code);
            QCOMPARE(errorOf(errors.first()).userInfo().value(QStringLiteral("info")), QVariant(bundle));
            QTRY_COMPARE_WITH_TIMEOUT(m_log.of(ZDOrv::kTaskFinished).size(), 1, 30000);
        }
    }
    void runWithRights()
    {
        if (!m_noAdminReason.isEmpty())
            QSKIP(qPrintable(m_noAdminReason));
        const QString op = QString::fromLatin1(ZDOrv::kAuthExecuteTask);
        m_agent->call(op, {QStringLiteral("succeed"), QStringLiteral("com.zendrel.Ketril"), QVariantList {QStringLiteral("-x")},
                           kAdmin, encrypted(m_adminPassword)});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(resultFile(QStringLiteral("Ketril"), QStringLiteral("succeed"))), 60000);
        QCOMPARE(result(QStringLiteral("Ketril"), QStringLiteral("succeed"), "euid").value(0), QStringLiteral("0"));
        QCOMPARE(result(QStringLiteral("Ketril"), QStringLiteral("succeed")),
                 (QStringList {QStringLiteral("succeed"), QStringLiteral("-x")}));
        QVERIFY(errorsUpToMarker().isEmpty());
        m_log.clear();
        // Wrong, empty and missing passwords are refused; the tool never starts,
        // also not for a root agent, and the password never reaches the log.
        const QString wrong = QStringLiteral("Wrong-%1").arg(QRandomGenerator::system()->generate());
        for (const QVariant &password : {QVariant(encrypted(wrong)), QVariant(QByteArray()), QVariant()}) {
            m_registry->shouldPostFinishedTaskWithTimeout(600);
            m_agent->call(op, {QStringLiteral("fail"), QStringLiteral("com.zendrel.Ketril"), QVariantList(), kAdmin, password});
            const QList<QVariantList> errors = errorsUpToMarker();
            QCOMPARE(errors.size(), 1);
            QCOMPARE(errorOf(errors.first()).code(), 1006);
            QCOMPARE(errorOf(errors.first()).userInfo().value(QStringLiteral("info")).toString(), QStringLiteral("com.zendrel.Ketril"));
            QTRY_COMPARE_WITH_TIMEOUT(m_log.of(ZDOrv::kTaskFinished).size(), 1, 30000);
            m_log.clear();
        }
        QVERIFY(!QFile::exists(resultFile(QStringLiteral("Ketril"), QStringLiteral("fail"))));
        const QString log = logText();
        QVERIFY(log.contains(QStringLiteral("Unable to authorize. Username and password may be incorrect.")));
        QVERIFY(!log.contains(wrong));
        QVERIFY(!log.contains(m_adminPassword));
        const QString validate = QString::fromLatin1(ZDOrv::kValidateUsernamePassword);
        QCOMPARE(m_agent->call(validate, {kAdmin, encrypted(m_adminPassword)}), QVariant(true));
        QCOMPARE(m_agent->call(validate, {kAdmin, encrypted(wrong)}), QVariant(false));
        QCOMPARE(m_agent->call(validate, {kAdmin, QVariant()}), QVariant(false));
        QCOMPARE(m_agent->call(validate, {QStringLiteral("nobody"), encrypted(m_adminPassword)}), QVariant(false));
        QCOMPARE(m_agent->call(validate, {kAdmin, m_adminPassword}), QVariant(false)); // not data
        // The credentials form the maintenance services use.
        QVERIFY(!m_tasks->authWithDict({{QStringLiteral("authUser"), kAdmin},
                                        {QStringLiteral("authPass"), encrypted(m_adminPassword)}}));
        const auto refused = m_tasks->authWithDict({{QStringLiteral("authUser"), kAdmin}});
        QVERIFY(refused);
        QCOMPARE(refused->code(), 1006);
        // The privileged launch the maintenance services use.
        const QString exe = m_tasks->exePathForAppWithBundleID(QStringLiteral("com.zendrel.Ondrel"), ZDClientTasks::Run::WithRights);
        QVERIFY(!m_tasks->launchAuthTask(exe, {QStringLiteral("-task"), QStringLiteral("launched")},
                                         {{QStringLiteral("authUser"), kAdmin},
                                          {QStringLiteral("authPass"), encrypted(m_adminPassword)}}));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(resultFile(QStringLiteral("Ondrel"), QStringLiteral("launched"))), 60000);
        m_log.clear();
        const auto notLaunched = m_tasks->launchAuthTask(exe, {QStringLiteral("-task"), QStringLiteral("refused")},
                                                         {{QStringLiteral("authUser"), kAdmin},
                                                          {QStringLiteral("authPass"), encrypted(wrong)}});
        QVERIFY(notLaunched);
        QCOMPARE(notLaunched->code(), 1006);
        QTRY_COMPARE_WITH_TIMEOUT(m_log.of(ZDOrv::kAddErrorToQueueUserInfo).size(), 1, 30000);
        QVERIFY(!QFile::exists(resultFile(QStringLiteral("Ondrel"), QStringLiteral("refused"))));
    }
    void callbackAnswers()
    {
        if (!m_noAdminReason.isEmpty())
            QSKIP(qPrintable(m_noAdminReason));
        const QString op = QString::fromLatin1(ZDOrv::kAuthExecuteTaskCallback);
        QList<QVariantMap> answers;
        const QString name = QStringLiteral("ZDKMTCallbackTest%1").arg(QRandomGenerator::system()->generate());
        m_agent->callOneway(op, {QStringLiteral("answer"), QStringLiteral("com.zendrel.Ondrel"),
                                 QVariantList {QStringLiteral("--callback"), name}, kAdmin, encrypted(m_adminPassword),
                                 QVariant::fromValue(makeCallback(&answers)), name});
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 1, 60000);
        QCOMPARE(answers.first(), (QVariantMap {{QStringLiteral("output"), QStringLiteral("Ondrel repair complete.")}}));
        QTRY_VERIFY_WITH_TIMEOUT(!m_tasks->hasPendingCallback(), 30000);
        // Failures answer through the callback with their texts.
        const struct
        {
            QString task, bundle;
            QVariant password;
            QString text;
        } failures[] = {
            {QStringLiteral("answer"), QStringLiteral("com.zendrel.Aubrel"), encrypted(m_adminPassword), QStringLiteral("Error: Cannot find application")},
            {QStringLiteral("answer"), QStringLiteral("com.zendrel.Ondrel"), encrypted(QStringLiteral("wrong")),
             QStringLiteral("Error: Unable to authorize. Username and password may be incorrect.")},
        };
        for (const auto &f : failures) {
            answers.clear();
            m_log.clear();
            m_agent->callOneway(op, {f.task, f.bundle, QVariantList(), kAdmin, f.password,
                                     QVariant::fromValue(makeCallback(&answers)), name});
            QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 1, 60000);
            QCOMPARE(answers.first().value(QStringLiteral("output")).toString(), f.text);
        }
        // Refused credentials also post 1006, without info in this form.
        QTRY_COMPARE_WITH_TIMEOUT(m_log.of(ZDOrv::kAddErrorToQueueUserInfo).size(), 1, 30000);
        QCOMPARE(errorOf(m_log.of(ZDOrv::kAddErrorToQueueUserInfo).first()).code(), 1006);
        QVERIFY(!errorOf(m_log.of(ZDOrv::kAddErrorToQueueUserInfo).first()).userInfo().contains(QStringLiteral("info")));
    }
    // Each request keeps its own callback: another request's answer or failure never takes the
    // administrator's pending repair answer, which still arrives when its tool answers.
    void concurrentRequestsKeepTheirCallbacks()
    {
        if (!m_noAdminReason.isEmpty())
            QSKIP(qPrintable(m_noAdminReason));
        const QString op = QString::fromLatin1(ZDOrv::kAuthExecuteTaskCallback);
        const QString release = m_sandbox->path(QStringLiteral("release-first"));
        const QString first = QStringLiteral("ZDKMTCallbackFirst%1").arg(QRandomGenerator::system()->generate());
        const QString second = QStringLiteral("ZDKMTCallbackSecond%1").arg(QRandomGenerator::system()->generate());
        QList<QVariantMap> firstAnswers, secondAnswers, failedAnswers;
        // The first tool answers only once the test lets it.
        m_agent->callOneway(op, {QStringLiteral("answer"), QStringLiteral("com.zendrel.Ondrel"),
                                 QVariantList {QStringLiteral("--wait-for"), release, QStringLiteral("--output"),
                                               QStringLiteral("first"), QStringLiteral("--callback"), first},
                                 kAdmin, encrypted(m_adminPassword), QVariant::fromValue(makeCallback(&firstAnswers)), first});
        QTRY_VERIFY_WITH_TIMEOUT(m_tasks->hasPendingCallback(), 60000);
        // Meanwhile a request that fails before its tool runs, and one that answers.
        m_agent->callOneway(op, {QStringLiteral("answer"), QStringLiteral("com.zendrel.Aubrel"), QVariantList(), kAdmin,
                                 encrypted(m_adminPassword), QVariant::fromValue(makeCallback(&failedAnswers)), second});
        QTRY_COMPARE_WITH_TIMEOUT(failedAnswers.size(), 1, 60000);
        QCOMPARE(failedAnswers.first().value(QStringLiteral("output")).toString(), QStringLiteral("Error: Cannot find application"));
        m_agent->callOneway(op, {QStringLiteral("answer"), QStringLiteral("com.zendrel.Ketril"),
                                 QVariantList {QStringLiteral("--output"), QStringLiteral("second"),
                                               QStringLiteral("--callback"), second},
                                 kAdmin, encrypted(m_adminPassword), QVariant::fromValue(makeCallback(&secondAnswers)), second});
        QTRY_COMPARE_WITH_TIMEOUT(secondAnswers.size(), 1, 60000);
        QCOMPARE(secondAnswers.first().value(QStringLiteral("output")).toString(), QStringLiteral("second"));
        QVERIFY(firstAnswers.isEmpty());
        QVERIFY(m_tasks->hasPendingCallback());
        // The first answer reaches the first request's own callback.
        QVERIFY(ZDTestSandbox::writeFile(release, "go"));
        QTRY_COMPARE_WITH_TIMEOUT(firstAnswers.size(), 1, 60000);
        QCOMPARE(firstAnswers.first().value(QStringLiteral("output")).toString(), QStringLiteral("first"));
        QCOMPARE(secondAnswers.size(), 1);
        QCOMPARE(failedAnswers.size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!m_tasks->hasPendingCallback(), 30000);
    }
    void requestsAreValidated()
    {
        QVariantList many;
        for (int i = 0; i <= ZDClientTasks::kMaxOptions; ++i)
            many << QStringLiteral("-o");
        // Numbers as options, too many, one too long, a NUL in one. A wrong kind anywhere takes the
        // contract's one refusal path (the contract test tries them all).
        const QVariantList optionLists[] = {QVariantList{1, 2}, many,
                                            QVariantList{QString(ZDClientTasks::kMaxArgumentLength + 1, QLatin1Char('x'))},
                                            QVariantList{QStringLiteral("a") + QChar(0) + QStringLiteral("b")}};
        for (const QVariantList &options : optionLists) {
            const QVariantList args{QStringLiteral("succeed"), QStringLiteral("com.zendrel.Tidwell"), options};
            m_log.clear();
            QFile::remove(resultFile(QStringLiteral("Tidwell"), QStringLiteral("succeed")));
            m_agent->call(QString::fromLatin1(ZDOrv::kExecuteTask), args);
            QTRY_COMPARE_WITH_TIMEOUT(m_log.of(ZDOrv::kAddStringToQueueUserInfo).size()
                                          + m_log.of(ZDOrv::kAddStringToQueueHostname).size(), 1, 30000);
            QVERIFY(!QFile::exists(resultFile(QStringLiteral("Tidwell"), QStringLiteral("succeed"))));
            // The same request with rights, and with a callback that hears why.
            m_log.clear();
            m_agent->call(QString::fromLatin1(ZDOrv::kAuthExecuteTask), args + QVariantList {kAdmin, encrypted(m_adminPassword)});
            QTRY_COMPARE_WITH_TIMEOUT(m_log.of(ZDOrv::kAddStringToQueueUserInfo).size()
                                          + m_log.of(ZDOrv::kAddStringToQueueHostname).size(), 1, 30000);
            QList<QVariantMap> answers;
            m_agent->callOneway(QString::fromLatin1(ZDOrv::kAuthExecuteTaskCallback),
                                args + QVariantList {kAdmin, encrypted(m_adminPassword), QVariant::fromValue(makeCallback(&answers)),
                                                     QStringLiteral("ZDKMTCallbackInvalid")});
            QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 1, 30000);
            QCOMPARE(answers.first().value(QStringLiteral("output")).toString(), QStringLiteral("Error: Invalid task request."));
            QVERIFY(!QFile::exists(resultFile(QStringLiteral("Tidwell"), QStringLiteral("succeed"))));
        }
    }
    void callbackNameAndMissingCallback()
    {
        // No callback: logged and nothing runs. A name that cannot be a notification is refused.
        m_agent->callOneway(QString::fromLatin1(ZDOrv::kAuthExecuteTaskCallback),
                            {QStringLiteral("succeed"), QStringLiteral("com.zendrel.Tidwell"), QVariantList(), kAdmin,
                             encrypted(m_adminPassword), QVariant(), QStringLiteral("ZDKMTCallbackNone")});
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QStringLiteral("Error: No callback specified.")), 30000);
        QList<QVariantMap> answers;
        m_agent->callOneway(QString::fromLatin1(ZDOrv::kAuthExecuteTaskCallback),
                            {QStringLiteral("succeed"), QStringLiteral("com.zendrel.Tidwell"), QVariantList(), kAdmin,
                             encrypted(m_adminPassword), QVariant::fromValue(makeCallback(&answers)), QString()});
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 1, 30000);
        QCOMPARE(answers.first().value(QStringLiteral("output")).toString(), QStringLiteral("Error: Invalid task request."));
        QVERIFY(!QFile::exists(resultFile(QStringLiteral("Tidwell"), QStringLiteral("succeed"))));
    }
    void accessChecks()
    {
        const QString op = QString::fromLatin1(ZDOrv::kNeedsAdminAccess);
        const QString mine = m_sandbox->path(QStringLiteral("mine.txt"));
        QVERIFY(ZDTestSandbox::writeFile(mine, "x"));
        QCOMPARE(m_agent->call(op, {QVariant(QVariantList {mine, m_sandbox->path(QStringLiteral("missing"))})}), QVariant(false));
        QCOMPARE(m_agent->call(op, {QVariant(QVariantList())}), QVariant(false));
        QCOMPARE(m_agent->call(op, {QStringLiteral("not a list")}), QVariant(false));
        if (!ZDLocalPaths::isRoot()) {
            QCOMPARE(m_agent->call(op, {QVariant(QVariantList {QStringLiteral("/etc/passwd")})}), QVariant(true));
        }
    }
    // An agent running as an ordinary user gets rights from an administrator's
    // password, through su and sudo; its own runs stay its user's.
    void nonRootAgentWithAnAdministratorsPassword()
    {
        if (!m_noAdminReason.isEmpty())
            QSKIP(qPrintable(m_noAdminReason));
        if (!QFile::exists(QStringLiteral("/usr/bin/sudo")) || !QFile::exists(QStringLiteral("/usr/bin/su"))
            || !QFile::exists(QStringLiteral("/usr/sbin/runuser")))
            QSKIP("su, sudo or runuser is missing (scripts/bootstrap.sh installs sudo)");
        const QString userPassword = QStringLiteral("Usr-%1").arg(QRandomGenerator::system()->generate(), 0, 16);
        QVERIFY(zdtest::makeAccount(kUser, userPassword, false));
        const QString home = QStringLiteral("/home/") + kUser;
        // The user must reach the tools and its own copy of the agent.
        QVERIFY(::chmod(QFile::encodeName(m_sandbox->root()).constData(), 0755) == 0);
        const QString agent = m_sandbox->path(QStringLiteral("bin/tasks_agent"));
        QDir().mkpath(m_sandbox->path(QStringLiteral("bin")));
        QFile::remove(agent);
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), agent));
        QFile::setPermissions(agent, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                         | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
        QProcessEnvironment env;
        env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), m_sandbox->root());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        zdtest::HelperProcess process(QStringLiteral("/usr/sbin/runuser"), {QStringLiteral("-u"), kUser, QStringLiteral("--"), agent, QStringLiteral("--tasks-agent")}, env);
        const QByteArray line = process.line({"port="}, 60000);
        QVERIFY2(line.startsWith("port="), line.constData());
        const auto link = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), quint16(line.mid(5).toUInt()));
        const ZDRemoteProxyPtr userAgent = link->rootProxy();
        userAgent->call(QString::fromLatin1(ZDOrv::kSetErrorCallback), {QVariant::fromValue(m_log.object)});
        // As the agent's user, recording where that user may write.
        const QString userRecords = home + QStringLiteral("/records");
        QCOMPARE(run(QStringLiteral("/usr/sbin/runuser"), {QStringLiteral("-u"), kUser, QStringLiteral("--"),
                                                           QStringLiteral("/bin/mkdir"), QStringLiteral("-p"), userRecords + QStringLiteral("/a")}), 0);
        userAgent->call(QString::fromLatin1(ZDOrv::kExecuteTask),
                        {QStringLiteral("succeed"), QStringLiteral("com.zendrel.Ondrel"),
                         QVariant(QVariantList {QStringLiteral("--record"), userRecords})});
        const QString asUser = userRecords + QStringLiteral("/Ondrel/succeed.result");
        QVERIFY(QFile::exists(asUser));
        QVERIFY(!ZDTestSandbox::readFile(asUser).contains("euid=0\n"));
        // With the administrator's password the tool runs as root.
        const QString rootRecords = m_sandbox->path(QStringLiteral("var/lib/standins-root"));
        userAgent->call(QString::fromLatin1(ZDOrv::kAuthExecuteTask),
                        {QStringLiteral("succeed"), QStringLiteral("com.zendrel.Ondrel"),
                         QVariant(QVariantList {QStringLiteral("--record"), rootRecords}), kAdmin, encrypted(m_adminPassword)});
        const QString asRoot = rootRecords + QStringLiteral("/Ondrel/succeed.result");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(asRoot), 60000);
        QVERIFY(ZDTestSandbox::readFile(asRoot).contains("euid=0\n"));
        QVERIFY(ZDTestSandbox::readFile(asRoot).contains("arg=" + rootRecords.toUtf8() + '\n'));
        // Two at once share the agent's one privileged session; neither loses its rights to the other.
        // (Two of the plain stand-ins, into a folder of their own: the update tool's stand-in records no tasks.)
        const QString pairRecords = m_sandbox->path(QStringLiteral("var/lib/standins-pair"));
        for (const QString &bundle : {QStringLiteral("com.zendrel.Ketril"), QStringLiteral("com.zendrel.Ondrel")})
            userAgent->callOneway(QString::fromLatin1(ZDOrv::kAuthExecuteTask),
                                  {QStringLiteral("succeed"), bundle, QVariant(QVariantList {QStringLiteral("--record"), pairRecords}),
                                   kAdmin, encrypted(m_adminPassword)});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(pairRecords + QStringLiteral("/Ketril/succeed.result"))
                                     && QFile::exists(pairRecords + QStringLiteral("/Ondrel/succeed.result")),
                                 120000);
        // Refused: the user's own password (no administrator) and a wrong one.
        for (const auto &[user, password] : {std::pair {kUser, userPassword}, std::pair {kAdmin, QStringLiteral("wrong")}}) {
            m_log.clear();
            userAgent->call(QString::fromLatin1(ZDOrv::kAuthExecuteTask),
                            {QStringLiteral("fail"), QStringLiteral("com.zendrel.Ondrel"),
                             QVariant(QVariantList {QStringLiteral("--record"), rootRecords}), user, encrypted(password)});
            QTRY_COMPARE_WITH_TIMEOUT(m_log.of(ZDOrv::kAddErrorToQueueUserInfo).size(), 1, 60000);
            QCOMPARE(errorOf(m_log.of(ZDOrv::kAddErrorToQueueUserInfo).first()).code(), 1006);
        }
        QVERIFY(!QFile::exists(rootRecords + QStringLiteral("/Ondrel/fail.result")));
        const QString validate = QString::fromLatin1(ZDOrv::kValidateUsernamePassword);
        QCOMPARE(userAgent->call(validate, {kAdmin, encrypted(m_adminPassword)}), QVariant(true));
        QCOMPARE(userAgent->call(validate, {kAdmin, encrypted(QStringLiteral("wrong"))}), QVariant(false));
        // What the user may not change needs rights; its own nested files do not.
        const QString access = QString::fromLatin1(ZDOrv::kNeedsAdminAccess);
        QCOMPARE(userAgent->call(access, {QVariant(QVariantList {QStringLiteral("/etc/passwd")})}), QVariant(true));
        QCOMPARE(userAgent->call(access, {QVariant(QVariantList {userRecords + QStringLiteral("/a")})}), QVariant(false));
    }
    void timeOut()
    {
        // Runs past the 30-second limit: stopped, and its end (SIGTERM) is reported.
        m_agent->call(QString::fromLatin1(ZDOrv::kExecuteTask), {QStringLiteral("slow"), QStringLiteral("com.zendrel.Ondrel"), QVariantList()});
        QVERIFY(QFile::exists(resultFile(QStringLiteral("Ondrel"), QStringLiteral("slow"))));
        const QList<QVariantList> errors = errorsUpToMarker();
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errorOf(errors.first()).code(), 15);
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--tasks-agent") == 0)
        return runTasksAgent(argc, argv);
    QApplication app(argc, argv);
    TestZDClientTasks test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_zdclienttasks.moc"
