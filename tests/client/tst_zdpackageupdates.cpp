// Software updates and removals through the package manager, end to end: packages
// kestra-test-* at versions 1 and 2 in a local repository made here, PackageKit (apt,
// kept to that repository by its own configuration) and polkit on a system bus of this
// test's own, two agents running as an unprivileged user, and the real `kestra`. The
// update is listed with its size, refused while polkit says no, installed on both
// computers once it says yes; a package whose installation fails and a removal group
// whose application is a package show what each computer reports. The computer's dpkg
// database is real: only kestra-test-* packages are installed, and purged at the end.
#include "ZDRealAgent.h"
#include "ZDTestFixtures.h"
#include "ZDTestProcess.h"
#include "ZDTestSandbox.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
const QStringList kPackages{u"kestra-test-foo"_s, u"kestra-test-bad"_s};
const QString kPackageKitd = u"/usr/libexec/packagekitd"_s;
const QString kPolkitd = u"/usr/lib/polkit-1/polkitd"_s;

QString installedVersion(const QString &package)
{
    QProcess p;
    p.start(u"dpkg-query"_s, {u"-W"_s, u"-f=${Status} ${Version}"_s, package});
    p.waitForFinished(30000);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    return p.exitCode() == 0 && out.startsWith(u"install ok installed"_s) ? out.section(u' ', 3) : QString();
}

void purgeTestPackages()
{
    zdtest::run(u"dpkg"_s, QStringList{u"--purge"_s} + kPackages);
}
} // namespace

class TestZDPackageUpdates : public QObject
{
    Q_OBJECT

    // Whatever happens (a skip, a failure, an exception), the test's packages go at the end.
    struct Purge
    {
        ~Purge()
        {
            if (::geteuid() == 0)
                purgeTestPackages();
        }
    } m_purge;
    QTemporaryDir m_dir;
    ZDTestSandbox m_console;
    QString m_busAddress;
    std::unique_ptr<QProcess> m_bus, m_polkit, m_packagekit;
    const QString m_admin = u"kestra_pkadm"_s;
    const QString m_password = u"Pk pw %1"_s.arg(QCoreApplication::applicationPid());

    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    bool buildPackage(const QString &name, const QString &version, bool failingPostinst)
    {
        const QString tree = path(u"build/%1-%2"_s.arg(name, version));
        QDir().mkpath(tree + u"/DEBIAN"_s);
        QDir().mkpath(tree + u"/usr/share/"_s + name);
        // Big enough that the download size shows.
        QByteArray data(48 * 1024, 'k');
        data += version.toLatin1();
        if (!ZDTestSandbox::writeFile(tree + u"/usr/share/%1/data"_s.arg(name), data)
            || !ZDTestSandbox::writeFile(tree + u"/DEBIAN/control"_s,
                                         u"Package: %1\nVersion: %2\nArchitecture: all\nMaintainer: Kestra tests <root@localhost>\n"
                                         "Description: Kestra test package\n Made by the package update test.\n"_s
                                             .arg(name, version).toUtf8()))
            return false;
        if (failingPostinst) {
            const QString postinst = tree + u"/DEBIAN/postinst"_s;
            if (!ZDTestSandbox::writeFile(postinst, "#!/bin/sh\necho 'kestra-test-bad refuses to configure' >&2\nexit 1\n")
                || !QFile::setPermissions(postinst, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                                        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther))
                return false;
        }
        return zdtest::run(u"dpkg-deb"_s, {u"--root-owner-group"_s, u"-Zgzip"_s, u"--build"_s, tree,
                                          path(u"debs/%1_%2_all.deb"_s.arg(name, version))}) == 0;
    }

    bool writeRules(bool allow)
    {
        return ZDTestSandbox::writeFile(path(u"rules/10-kestra-test.rules"_s),
                                        u"polkit.addRule(function(action, subject) {\n"
                                        "    if (action.id.indexOf(\"org.freedesktop.packagekit.\") == 0 && subject.user == \"nobody\")\n"
                                        "        return polkit.Result.%1;\n"
                                        "});\n"_s.arg(allow ? u"YES"_s : u"NO"_s)
                                            .toUtf8());
    }

    bool onBus(const QString &name)
    {
        const QDBusConnection bus = QDBusConnection::connectToBus(m_busAddress, u"kestra-pk-test"_s);
        return bus.isConnected() && bus.interface()->isServiceRegistered(name).value();
    }

    std::unique_ptr<QProcess> startDaemon(const QString &program, const QStringList &arguments, const QString &busName,
                                          const QString &log)
    {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, m_busAddress);
        env.insert(u"APT_CONFIG"_s, path(u"apt/apt.conf"_s));
        p->setProcessEnvironment(env);
        p->setStandardOutputFile(log, QIODevice::Append);
        p->setStandardErrorFile(log, QIODevice::Append);
        p->start(program, arguments);
        if (!p->waitForStarted() || !QTest::qWaitFor([&] { return onBus(busName); }, 30000))
            return nullptr;
        return p;
    }

    // polkitd reads its rules from fixed folders: its own mount namespace shows it ours.
    bool startPolkit()
    {
        if (m_polkit) {
            m_polkit->terminate();
            m_polkit->waitForFinished(10000);
            if (!QTest::qWaitFor([&] { return !onBus(u"org.freedesktop.PolicyKit1"_s); }, 10000))
                return false;
        }
        m_polkit = startDaemon(u"unshare"_s, {u"-m"_s, u"sh"_s, u"-c"_s,
                                             u"mount --bind \"$0\" /etc/polkit-1/rules.d && exec \"$1\" --no-debug"_s,
                                             path(u"rules"_s), kPolkitd},
                               u"org.freedesktop.PolicyKit1"_s, path(u"polkit.log"_s));
        return bool(m_polkit);
    }

    zdtest::Ran kestra(const QStringList &args, bool admin = false)
    {
        return zdtest::runProgram(zdtest::buildPath(u"bin/kestra"_s),
                                  args + QStringList{u"--no-browse"_s} + (admin ? QStringList{u"--admin"_s} : QStringList()),
                                  {}, admin ? (m_admin + u'\n' + m_password + u'\n').toUtf8() : QByteArray());
    }

    QJsonArray updateRows()
    {
        const zdtest::Ran r = kestra({u"updates"_s, u"--json"_s});
        return QJsonDocument::fromJson(r.out.toUtf8()).object().value(u"updates"_s).toArray();
    }
    static QJsonObject row(const QJsonArray &rows, const QString &bundleID)
    {
        for (const QJsonValue &v : rows)
            if (v.toObject().value(u"bundleID"_s).toString() == bundleID)
                return v.toObject();
        return {};
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the package manager of the computer is root's: the test needs root");
        for (const QString &program : {kPackageKitd, kPolkitd})
            if (!QFileInfo(program).isExecutable())
                QSKIP(qPrintable(program + u" is not installed (packagekit, polkitd)"_s));
        for (const char *program : {"dpkg-deb", "dpkg-scanpackages", "apt-get", "unshare", "dbus-daemon"})
            if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
                QSKIP(qPrintable(u"%1 is not installed"_s.arg(QLatin1String(program))));
        QVERIFY(m_dir.isValid());
        // polkitd and the agents run as other users: they reach the bus's socket here.
        QVERIFY(QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup
                                                        | QFile::ExeOther));
        purgeTestPackages();
        for (const char *sub : {"build", "debs", "repo", "rules", "apt/lists/partial", "apt/cache/archives/partial",
                                "apt/sources.list.d", "apt/preferences.d", "apt/apt.conf.d"})
            QVERIFY(QDir().mkpath(path(QLatin1String(sub))));
        for (const QString &name : kPackages) {
            QVERIFY(buildPackage(name, u"1"_s, false));
            QVERIFY(buildPackage(name, u"2"_s, name == u"kestra-test-bad"_s));
            QVERIFY(QFile::copy(path(u"debs/%1_2_all.deb"_s.arg(name)), path(u"repo/%1_2_all.deb"_s.arg(name))));
        }
        QProcess scan;
        scan.setWorkingDirectory(path(u"repo"_s));
        scan.setStandardOutputFile(path(u"repo/Packages"_s));
        scan.start(u"dpkg-scanpackages"_s, {u"."_s, u"/dev/null"_s});
        QVERIFY(scan.waitForFinished(60000) && scan.exitCode() == 0);

        // apt, and PackageKit's apt, see this repository only: the computer's sources stay untouched.
        QVERIFY(ZDTestSandbox::writeFile(path(u"apt/sources.list"_s),
                                         u"deb [trusted=yes] file:%1 ./\n"_s.arg(path(u"repo"_s)).toUtf8()));
        QVERIFY(ZDTestSandbox::writeFile(path(u"apt/apt.conf"_s), u"Dir::Etc::sourcelist \"%1/sources.list\";\n"
                                                                 "Dir::Etc::sourceparts \"%1/sources.list.d\";\n"
                                                                 "Dir::Etc::preferencesparts \"%1/preferences.d\";\n"
                                                                 "Dir::Etc::parts \"%1/apt.conf.d\";\n"
                                                                 "Dir::State::Lists \"%1/lists\";\n"
                                                                 "Dir::State::extended_states \"%1/extended_states\";\n"
                                                                 "Dir::Cache \"%1/cache\";\n"
                                                                 "APT::Sandbox::User \"root\";\n"_s.arg(path(u"apt"_s))
                                                                     .toUtf8()));
        QProcess update;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"APT_CONFIG"_s, path(u"apt/apt.conf"_s));
        update.setProcessEnvironment(env);
        update.start(u"apt-get"_s, {u"update"_s, u"-q"_s});
        QVERIFY2(update.waitForFinished(120000) && update.exitCode() == 0, update.readAllStandardError().constData());
        for (const QString &name : kPackages)
            QCOMPARE(zdtest::run(u"dpkg"_s, {u"-i"_s, path(u"debs/%1_1_all.deb"_s.arg(name))}), 0);

        QVERIFY(ZDTestSandbox::writeFile(path(u"bus.conf"_s),
            u"<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>system</type><listen>unix:path=%1</listen><auth>EXTERNAL</auth>\n"
            "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>\n"
            "<allow send_type=\"method_call\"/><allow send_type=\"signal\"/><allow send_type=\"method_return\"/>"
            "<allow send_type=\"error\"/><allow receive_type=\"method_call\"/><allow receive_type=\"signal\"/>"
            "<allow receive_type=\"method_return\"/><allow receive_type=\"error\"/></policy></busconfig>\n"_s
                .arg(path(u"bus"_s)).toUtf8()));
        m_bus = std::make_unique<QProcess>();
        m_bus->start(u"dbus-daemon"_s, {u"--config-file="_s + path(u"bus.conf"_s), u"--nofork"_s, u"--print-address=1"_s});
        QVERIFY(m_bus->waitForReadyRead(30000));
        m_busAddress = QString::fromUtf8(m_bus->readLine().trimmed());
        QVERIFY(writeRules(true));
        if (!startPolkit())
            QSKIP(qPrintable(u"polkitd did not start on the test's bus: "_s + ZDTestSandbox::readFile(path(u"polkit.log"_s))));
        m_packagekit = startDaemon(kPackageKitd, {u"--keep-environment"_s, u"--disable-timer"_s}, u"org.freedesktop.PackageKit"_s,
                                   path(u"packagekit.log"_s));
        if (!m_packagekit)
            QSKIP(qPrintable(u"packagekitd did not start on the test's bus: "_s
                             + ZDTestSandbox::readFile(path(u"packagekit.log"_s))));
        // The agents find PackageKit on this bus.
        m_console.setEnv("DBUS_SYSTEM_BUS_ADDRESS", m_busAddress.toUtf8());
    }

    void cleanupTestCase()
    {
        if (::geteuid() != 0)
            return;
        for (auto *p : {m_packagekit.get(), m_polkit.get(), m_bus.get()}) {
            if (p) {
                p->terminate();
                if (!p->waitForFinished(10000))
                    p->kill();
            }
        }
        purgeTestPackages();
        for (const QString &name : kPackages)
            QVERIFY2(installedVersion(name).isEmpty(), qPrintable(name));
    }

    void updateInstallRemoveAcrossTwoAgents()
    {
        const QByteArray catalogue = R"({"applications": [
            {"id": "com.kestra.test.Foo", "name": "Kestra Test Foo", "icon": "kestra", "debianPackages": ["kestra-test-foo"]},
            {"id": "com.kestra.test.Bad", "name": "Kestra Test Bad", "icon": "kestra", "debianPackages": ["kestra-test-bad"]}],
          "removalGroups": [{"id": "Kestra Test Foo", "icon": "kestra"}]})";
        auto removeAdmin = qScopeGuard([&] { zdtest::removeAccount(m_admin); });
        QVERIFY(zdtest::makeAccount(m_admin, m_password, true));
        QVERIFY(ZDTestSandbox::writeFile(m_console.path(u"etc/xdg/kestra/catalogue.d/50-kestra-test.json"_s), catalogue));
        ZDRealAgent first, second;
        int n = 0;
        for (ZDRealAgent *agent : {&first, &second}) {
            QVERIFY(ZDTestSandbox::writeFile(agent->root() + u"/etc/xdg/kestra/catalogue.d/50-kestra-test.json"_s, catalogue));
            QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Purgel.app"_s, agent->root() + u"/opt/Purgel.app"_s));
            QVERIFY(ZDTestSandbox::writeFile(agent->root() + u"/etc/hostname"_s, u"pk-%1\n"_s.arg(++n).toUtf8()));
            // The removal tool records what it did where the agent's user may write.
            QVERIFY(QDir().mkpath(agent->root() + u"/var/lib/standins/Purgel"_s));
            QCOMPARE(zdtest::run(u"/bin/chown"_s, {u"nobody:nogroup"_s, agent->root() + u"/var/lib/standins/Purgel"_s}), 0);
            agent->setRunAs(u"nobody"_s, u"nogroup"_s);
            // The maker's update server is out of reach here: the update tool's listing gives up at once.
            QVERIFY2(agent->start(ZDRealAgent::freePort(), {{u"updateServerURL"_s, u"http://127.0.0.1:9"_s},
                                                            {u"updateServerAllowsHTTP"_s, 1}}),
                     qPrintable(agent->output()));
            QCOMPARE(kestra({u"add"_s, u"pk-%1"_s.arg(n), u"127.0.0.1"_s, QString::number(agent->port())}).exit(), 0);
        }
        QVERIFY(kestra({u"list"_s, u"--wait"_s, u"20"_s}).out.count(u" connected"_s) == 2);

        // Listed once per product, both computers below it, with its download size.
        const zdtest::Ran listed = kestra({u"updates"_s});
        qInfo().noquote() << "kestra updates:\n" + listed.out;
        QJsonArray rows = updateRows();
        const QJsonObject foo = row(rows, u"com.kestra.test.Foo"_s);
        QCOMPARE(foo.value(u"title"_s).toString(), u"Kestra Test Foo 2"_s);
        QCOMPARE(foo.value(u"type"_s).toString(), u"package"_s);
        QCOMPARE(foo.value(u"children"_s).toArray().size(), 2);
        QVERIFY2(foo.value(u"downloadSize"_s).toInteger() > 0, qPrintable(listed.out));
        // The table gives it for a person, not as a byte count.
        const qint64 bytes = foo.value(u"downloadSize"_s).toInteger();
        const QString fooLine = listed.out.section(u"Kestra Test Foo 2"_s, 1).section(u'\n', 0, 0);
        QVERIFY2(fooLine.contains(QRegularExpression(u"\\d (bytes|kB|MB|GB) "_s))
                     && (bytes < 1000 || !fooLine.contains(QString::number(bytes))),
                 qPrintable(listed.out));
        QCOMPARE(row(rows, u"com.kestra.test.Bad"_s).value(u"children"_s).toArray().size(), 2);
        QVERIFY(listed.out.contains(u"Kestra Test Foo 2"_s));

        // Packages are installed with the administrator's credentials only.
        zdtest::Ran r = kestra({u"updates"_s, u"install"_s, u"com.kestra.test.Foo"_s});
        QCOMPARE(r.exit(), 2);
        QVERIFY2(r.err.contains(u"--admin"_s), qPrintable(r.err));

        // polkit says no: each computer reports PackageKit's refusal, nothing changes.
        QVERIFY(writeRules(false));
        QVERIFY(startPolkit());
        r = kestra({u"updates"_s, u"install"_s, u"com.kestra.test.Foo"_s}, true);
        qInfo().noquote() << "kestra updates install (refused):\n" + r.out + r.err;
        QCOMPARE(r.exit(), 1);
        QVERIFY2(r.out.contains(QRegularExpression(u"^pk-1(\\.local)?: failed: .+"_s, QRegularExpression::MultilineOption))
                     && r.out.contains(QRegularExpression(u"^pk-2(\\.local)?: failed: .+"_s, QRegularExpression::MultilineOption)),
                 qPrintable(r.out + r.err));
        QVERIFY(!r.out.contains(u"up-to-date"_s));
        QCOMPARE(installedVersion(u"kestra-test-foo"_s), u"1"_s);
        // So is a removal: the removal tool's computer reports PackageKit's text.
        r = kestra({u"remove-group"_s, u"Kestra Test Foo"_s, u"--yes"_s, u"--hosts"_s, u"pk-2"_s});
        QCOMPARE(r.exit(), 1);
        QVERIFY2(r.err.contains(QRegularExpression(u"kestra: pk-2(\\.local)?: failed: Kestra Test Foo: .+"_s)),
                 qPrintable(r.out + r.err + ZDTestSandbox::readFile(second.root() + u"/var/lib/standins/Purgel/remove.result"_s)));
        QCOMPARE(installedVersion(u"kestra-test-foo"_s), u"1"_s);

        // polkit says yes: installed across both computers, then nothing waits for it.
        QVERIFY(writeRules(true));
        QVERIFY(startPolkit());
        r = kestra({u"updates"_s, u"install"_s, u"com.kestra.test.Foo"_s}, true);
        qInfo().noquote() << "kestra updates install:\n" + r.out + r.err;
        QVERIFY2(r.exit() == 0, qPrintable(r.out + r.err));
        const QRegularExpression installed1(u"^pk-1(\\.local)?: installed Kestra Test Foo 2$"_s, QRegularExpression::MultilineOption);
        QVERIFY2(r.out.contains(installed1)
                     && r.out.contains(QRegularExpression(u"^pk-2(\\.local)?: installed Kestra Test Foo 2$"_s,
                                                          QRegularExpression::MultilineOption)),
                 qPrintable(r.out));
        QVERIFY(installed1.match(r.out).capturedStart() < r.out.indexOf(u"Still waiting"_s));
        QCOMPARE(installedVersion(u"kestra-test-foo"_s), u"2"_s);
        // PackageKit's percentage reached the console as the computers' progress steps.
        const QRegularExpressionMatch steps = QRegularExpression(u"finished, (\\d+) progress step"_s).match(r.out);
        QVERIFY2(steps.hasMatch() && steps.captured(1).toInt() > 0, qPrintable(r.out));
        rows = updateRows();
        QVERIFY(row(rows, u"com.kestra.test.Foo"_s).isEmpty());

        // The removal group whose application is a package: removed through PackageKit, after the question.
        r = kestra({u"remove-group"_s, u"Kestra Test Foo"_s});
        QCOMPARE(r.exit(), 1);
        QCOMPARE(installedVersion(u"kestra-test-foo"_s), u"2"_s);
        r = kestra({u"remove-group"_s, u"Kestra Test Foo"_s, u"--yes"_s, u"--hosts"_s, u"pk-2"_s});
        const QString record = QString::fromUtf8(
            ZDTestSandbox::readFile(second.root() + u"/var/lib/standins/Purgel/remove.result"_s));
        QVERIFY2(r.exit() == 0, qPrintable(r.out + r.err + record));
        QTRY_VERIFY_WITH_TIMEOUT(installedVersion(u"kestra-test-foo"_s).isEmpty(), 60000);
        QVERIFY2(record.contains(u"removed=kestra-test-foo;2;all;"_s) && record.contains(u"status=0"_s), qPrintable(record));
        // A package that fails to install: that computer's error, with what PackageKit said.
        r = kestra({u"updates"_s, u"install"_s, u"com.kestra.test.Bad"_s, u"--hosts"_s, u"pk-1"_s}, true);
        qInfo().noquote() << "kestra updates install (failing package):\n" + r.out + r.err;
        QCOMPARE(r.exit(), 1);
        QVERIFY2(r.out.contains(QRegularExpression(u"^pk-1(\\.local)?: failed: .+"_s, QRegularExpression::MultilineOption)),
                 qPrintable(r.out + r.err));
        QVERIFY(r.err.contains(u"kestra: pk-1"_s));


        // Without PackageKit on the bus each computer says so, at once.
        m_packagekit->terminate();
        QVERIFY(m_packagekit->waitForFinished(30000));
        QVERIFY(QTest::qWaitFor([&] { return !onBus(u"org.freedesktop.PackageKit"_s); }, 10000));
        r = kestra({u"updates"_s});
        qInfo().noquote() << "kestra updates (no PackageKit):\n" + r.out + r.err;
        for (const char *host : {"pk-1", "pk-2"})
            QVERIFY2(r.out.contains(QRegularExpression(u"^%1(\\.local)?: PackageKit is not available on this computer$"_s
                                                           .arg(QLatin1String(host)),
                                                       QRegularExpression::MultilineOption)),
                     qPrintable(r.out));
        QVERIFY(!r.out.contains(u"up-to-date"_s));
    }
};

QTEST_GUILESS_MAIN(TestZDPackageUpdates)
#include "tst_zdpackageupdates.moc"
