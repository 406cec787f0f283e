#include "ZDKeychain.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"

#include <QtTest>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

const QString kKind = QStringLiteral("Host password");

// Run as a child with a bus address that leads nowhere: what the caller is told.
int probeUnreachable()
{
    ZDLog::createNewLog(QStringLiteral("tst_zdkeychain_probe"));
    const bool stored = ZDKeychain::addKeychainItem(QStringLiteral("Kestra Admin"), kKind, QStringLiteral("admin"),
                                                    QStringLiteral("probe-pw-7f3a"), QStringLiteral("host"));
    const QString afterAdd = ZDKeychain::lastError();
    const bool found = ZDKeychain::checkForExistenceOfKeychainItem(QStringLiteral("Kestra Admin"), kKind,
                                                                   QStringLiteral("admin"), QStringLiteral("host"));
    std::printf("%d %d %s\n", stored, found, afterAdd.toUtf8().constData());
    ZDLog::finishWriting();
    return 0;
}

} // namespace

class TestZDKeychain : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    // A name of its own per run, so that nothing else in the keyring is touched.
    QString m_name;
    bool add(const QString &user, const QString &password, const QString &host) const
    {
        return ZDKeychain::addKeychainItem(m_name, kKind, user, password, host);
    }
    QString password(const QString &user, const QString &host) const
    {
        return ZDKeychain::getPasswordFromKeychainItem(m_name, kKind, user, host);
    }
    bool exists(const QString &user, const QString &host) const
    {
        return ZDKeychain::checkForExistenceOfKeychainItem(m_name, kKind, user, host);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_zdkeychain"));
        QString reason;
        if (!ZDKeychain::isAvailable(&reason))
            QSKIP(qPrintable(QStringLiteral("no Secret Service (run under scripts/test-services.sh): ") + reason));
        m_name = QStringLiteral("Kestra Admin test ") + ZDLocalPaths::uuid();
    }
    void cleanupTestCase()
    {
        if (!m_name.isEmpty())
            ZDKeychain::deleteAllKeychainItems(m_name, kKind);
        ZDLog::finishWriting();
    }
    void accentedUserNamesAreKeptExactly()
    {
        const QString composed = QStringLiteral("Jérôme Çağrı");
        const QString decomposed = QStringLiteral("Je\u0301ro\u0302me C\u0327ag\u0306ri\u0307").normalized(
            QString::NormalizationForm_D);
        QVERIFY(add(composed, QStringLiteral("pässwörd"), QStringLiteral("accent.local")));
        const std::optional<ZDKeychain::Item> item =
            ZDKeychain::keychainItem(m_name, kKind, composed, QStringLiteral("accent.local"));
        QVERIFY(item.has_value());
        QCOMPARE(item->username(), composed);
        QCOMPARE(item->hostname(), QStringLiteral("accent.local"));
        QCOMPARE(ZDKeychain::getPasswordFromItem(*item), QStringLiteral("pässwörd"));
        // Another spelling of the same letters, or none of the accents, is another user.
        QVERIFY(composed != decomposed);
        QVERIFY(!exists(decomposed, QStringLiteral("accent.local")));
        QVERIFY(!exists(QStringLiteral("Jerome Cagri"), QStringLiteral("accent.local")));
    }
    void twoHostsWithTheSameUserStaySeparate()
    {
        const QString user = QStringLiteral("admin");
        const QString a = QStringLiteral("a.local");
        const QString b = QStringLiteral("b.local");
        QVERIFY(add(user, QStringLiteral("one"), a));
        QVERIFY(add(user, QStringLiteral("two"), b));
        QCOMPARE(password(user, a), QStringLiteral("one"));
        QCOMPARE(password(user, b), QStringLiteral("two"));
        // Adding the same four attributes again replaces, and modify touches one host only.
        QVERIFY(add(user, QStringLiteral("uno"), a));
        QVERIFY(ZDKeychain::modifyKeychainItem(m_name, kKind, user, b, QStringLiteral("dos")));
        QCOMPARE(password(user, a), QStringLiteral("uno"));
        QCOMPARE(password(user, b), QStringLiteral("dos"));
        QVERIFY(!ZDKeychain::modifyKeychainItem(m_name, kKind, user, QStringLiteral("c.local"), QStringLiteral("x")));
        // A search by fewer attributes finds the oldest of both.
        QCOMPARE(password(user, QString()), QStringLiteral("uno"));
        QVERIFY(ZDKeychain::checkForExistenceOfKeychainItem(QString(), QString(), QString(), b));
        QVERIFY(ZDKeychain::deleteKeychainItem(m_name, kKind, user, a));
        QVERIFY(!exists(user, a));
        QCOMPARE(password(user, b), QStringLiteral("dos"));
        // Deleting a missing item succeeds and changes nothing.
        QVERIFY(ZDKeychain::deleteKeychainItem(m_name, kKind, user, QStringLiteral("none.local")));
        QVERIFY(ZDKeychain::lastError().isEmpty());
        QCOMPARE(password(user, b), QStringLiteral("dos"));
        // deleteAll removes only that name and kind.
        const QString otherKind = QStringLiteral("Other kind");
        QVERIFY(ZDKeychain::addKeychainItem(m_name, otherKind, user, QStringLiteral("2"), a));
        QVERIFY(ZDKeychain::deleteAllKeychainItems(m_name, kKind));
        QVERIFY(!exists(QString(), QString()));
        QCOMPARE(ZDKeychain::getPasswordFromKeychainItem(m_name, otherKind, user, a), QStringLiteral("2"));
        QVERIFY(ZDKeychain::deleteAllKeychainItems(m_name, otherKind));
        QVERIFY(!ZDKeychain::checkForExistenceOfKeychainItem(m_name, QString(), QString(), QString()));
    }
    void longPasswordsAreCutTo1023Bytes()
    {
        const QString user = QStringLiteral("long");
        const QString host = QStringLiteral("l.local");
        const QString ascii(2000, QLatin1Char('p'));
        QVERIFY(add(user, ascii, host));
        QCOMPARE(password(user, host), ascii.left(1023));
        // Two bytes per letter: the letter split by the cut is dropped, not mangled.
        const QString accented(600, QChar(0x00E9));
        QVERIFY(ZDKeychain::modifyKeychainItem(m_name, kKind, user, host, accented));
        QCOMPARE(password(user, host), accented.left(511));
        const QString exact(1023, QLatin1Char('x'));
        QVERIFY(ZDKeychain::modifyKeychainItem(m_name, kKind, user, host, exact));
        QCOMPARE(password(user, host), exact);
    }
    void refusedAndUnsupportedRequests()
    {
        // No attribute at all: no search is made.
        QVERIFY(!ZDKeychain::checkForExistenceOfKeychainItem(QString(), QString(), QString(), QString()));
        QVERIFY(!ZDKeychain::lastError().isEmpty());
        QVERIFY(!ZDKeychain::addKeychainItem(QString(), QString(), QString(), QStringLiteral("p"), QString()));
        QVERIFY(!ZDKeychain::deleteAllKeychainItems(QString(), QString()));
        // Oversized or NUL-bearing input is refused before it reaches the service.
        const QString huge(ZDKeychain::kMaxAttributeBytes + 1, QLatin1Char('h'));
        QVERIFY(!add(huge, QStringLiteral("p"), QStringLiteral("h.local")));
        QVERIFY(!add(QStringLiteral("nul") + QChar(0) + QLatin1Char('x'), QStringLiteral("p"), QStringLiteral("h.local")));
        QVERIFY(!exists(huge, QString()));
        // Per-item access lists do not exist here; the item itself is unaffected.
        QVERIFY(ZDKeychain::addKeychainItem(m_name, kKind, QStringLiteral("apps"), QStringLiteral("a"),
                                            QStringLiteral("apps.local"), {QStringLiteral("/opt/Other.app")}));
        const std::optional<ZDKeychain::Item> item =
            ZDKeychain::keychainItem(m_name, kKind, QStringLiteral("apps"), QStringLiteral("apps.local"));
        QVERIFY(item.has_value());
        QVERIFY(ZDKeychain::trustedAppsForItem(*item).isEmpty());
        QVERIFY(!ZDKeychain::addTrustedAppAtPath(QStringLiteral("/opt/Kestra Admin.app"), *item));
        QCOMPARE(ZDKeychain::getPasswordFromItem(*item), QStringLiteral("a"));
    }
    void worksFromManyThreadsAtOnce()
    {
        std::vector<std::unique_ptr<QThread>> threads;
        QAtomicInt failures = 0;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back(QThread::create([this, t, &failures] {
                const QString host = QStringLiteral("thread%1.local").arg(t);
                for (int round = 0; round < 5; ++round) {
                    const QString password = QStringLiteral("pw-%1-%2").arg(t).arg(round);
                    if (!add(QStringLiteral("worker"), password, host) || this->password(QStringLiteral("worker"), host) != password)
                        failures.fetchAndAddRelaxed(1);
                }
                if (!ZDKeychain::deleteKeychainItem(m_name, kKind, QStringLiteral("worker"), host))
                    failures.fetchAndAddRelaxed(1);
            }));
            threads.back()->start();
        }
        for (const auto &thread : threads)
            QVERIFY(thread->wait(120000));
        QCOMPARE(failures.loadRelaxed(), 0);
        QVERIFY(!exists(QStringLiteral("worker"), QString()));
    }
    void unreachableServiceIsAnErrorNeverAFallback()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KESTRA_KEYCHAIN_PROBE"), QStringLiteral("1"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + m_sandbox->path(QStringLiteral("no-bus")));
        const zdtest::Ran child = zdtest::runProgram(QCoreApplication::applicationFilePath(), {}, env);
        QCOMPARE(child.code, 0);
        const QString out = child.out.trimmed();
        QVERIFY2(out.startsWith(QStringLiteral("0 0 No Secret Service is reachable")), qPrintable(out));
        // The log says why, and the password went nowhere in the service's place.
        bool logged = false;
        QDirIterator it(m_sandbox->root(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QByteArray contents = ZDTestSandbox::readFile(path);
            logged = logged || contents.contains("No Secret Service is reachable");
            QVERIFY2(!contents.contains("probe-pw-7f3a"), qPrintable(path));
        }
        QVERIFY(logged);
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("KESTRA_KEYCHAIN_PROBE"))
        return probeUnreachable();
    QCoreApplication app(argc, argv);
    TestZDKeychain test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_zdkeychain.moc"
