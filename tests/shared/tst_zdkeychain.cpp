#include "rights/ZDKeychain.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include <QtTest>
#include <cstdio>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString kKind = u"Host password"_s;

// Run as a child with a bus address that leads nowhere: what the caller is told.
int probeUnreachable()
{
    ZDLog::createNewLog(u"tst_zdkeychain_probe"_s);
    const bool stored = ZDKeychain::addKeychainItem(u"Kestra Admin"_s, kKind, u"admin"_s,
                                                    u"probe-pw-7f3a"_s, u"host"_s);
    const QString afterAdd = ZDKeychain::lastError();
    const bool found = ZDKeychain::checkForExistenceOfKeychainItem(u"Kestra Admin"_s, kKind, u"admin"_s, u"host"_s);
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
        ZDLog::createNewLog(u"tst_zdkeychain"_s);
        QString reason;
        if (!ZDKeychain::isAvailable(&reason))
            QSKIP(qPrintable(u"no Secret Service (run under scripts/test-services.sh): "_s + reason));
        m_name = u"Kestra Admin test "_s + ZDLocalPaths::uuid();
    }
    void cleanupTestCase()
    {
        if (!m_name.isEmpty())
            ZDKeychain::deleteAllKeychainItems(m_name, kKind);
        ZDLog::finishWriting();
    }
    void accentedUserNamesAreKeptExactly()
    {
        const QString composed = u"Jérôme Çağrı"_s;
        const QString decomposed = u"Je\u0301ro\u0302me C\u0327ag\u0306ri\u0307"_s.normalized(
            QString::NormalizationForm_D);
        QVERIFY(add(composed, u"pässwörd"_s, u"accent.local"_s));
        const std::optional<ZDKeychain::Item> item =
            ZDKeychain::keychainItem(m_name, kKind, composed, u"accent.local"_s);
        QVERIFY(item.has_value());
        QCOMPARE(item->username(), composed);
        QCOMPARE(item->hostname(), u"accent.local"_s);
        QCOMPARE(ZDKeychain::getPasswordFromItem(*item), u"pässwörd"_s);
        // Another spelling of the same letters, or none of the accents, is another user.
        QVERIFY(composed != decomposed);
        QVERIFY(!exists(decomposed, u"accent.local"_s));
        QVERIFY(!exists(u"Jerome Cagri"_s, u"accent.local"_s));
    }
    void twoHostsWithTheSameUserStaySeparate()
    {
        const QString user = u"admin"_s;
        const QString a = u"a.local"_s;
        const QString b = u"b.local"_s;
        QVERIFY(add(user, u"one"_s, a));
        QVERIFY(add(user, u"two"_s, b));
        QCOMPARE(password(user, a), u"one"_s);
        QCOMPARE(password(user, b), u"two"_s);
        // Adding the same four attributes again replaces, and modify touches one host only.
        QVERIFY(add(user, u"uno"_s, a));
        QVERIFY(ZDKeychain::modifyKeychainItem(m_name, kKind, user, b, u"dos"_s));
        QCOMPARE(password(user, a), u"uno"_s);
        QCOMPARE(password(user, b), u"dos"_s);
        QVERIFY(!ZDKeychain::modifyKeychainItem(m_name, kKind, user, u"c.local"_s, u"x"_s));
        // A search by fewer attributes finds the oldest of both.
        QCOMPARE(password(user, QString()), u"uno"_s);
        QVERIFY(ZDKeychain::checkForExistenceOfKeychainItem(QString(), QString(), QString(), b));
        QVERIFY(ZDKeychain::deleteKeychainItem(m_name, kKind, user, a));
        QVERIFY(!exists(user, a));
        QCOMPARE(password(user, b), u"dos"_s);
        // Deleting a missing item succeeds and changes nothing.
        QVERIFY(ZDKeychain::deleteKeychainItem(m_name, kKind, user, u"none.local"_s));
        QVERIFY(ZDKeychain::lastError().isEmpty());
        QCOMPARE(password(user, b), u"dos"_s);
        // deleteAll removes only that name and kind.
        const QString otherKind = u"Other kind"_s;
        QVERIFY(ZDKeychain::addKeychainItem(m_name, otherKind, user, u"2"_s, a));
        QVERIFY(ZDKeychain::deleteAllKeychainItems(m_name, kKind));
        QVERIFY(!exists(QString(), QString()));
        QCOMPARE(ZDKeychain::getPasswordFromKeychainItem(m_name, otherKind, user, a), u"2"_s);
        QVERIFY(ZDKeychain::deleteAllKeychainItems(m_name, otherKind));
        QVERIFY(!ZDKeychain::checkForExistenceOfKeychainItem(m_name, QString(), QString(), QString()));
    }
    void longPasswordsAreCutTo1023Bytes()
    {
        const QString user = u"long"_s;
        const QString host = u"l.local"_s;
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
        QVERIFY(!ZDKeychain::addKeychainItem(QString(), QString(), QString(), u"p"_s, QString()));
        QVERIFY(!ZDKeychain::deleteAllKeychainItems(QString(), QString()));
        // Oversized or NUL-bearing input is refused before it reaches the service.
        const QString huge(ZDKeychain::kMaxAttributeBytes + 1, QLatin1Char('h'));
        QVERIFY(!add(huge, u"p"_s, u"h.local"_s));
        QVERIFY(!add(u"nul"_s + QChar(0) + QLatin1Char('x'), u"p"_s, u"h.local"_s));
        QVERIFY(!exists(huge, QString()));
        // Per-item access lists do not exist here; the item itself is unaffected.
        QVERIFY(ZDKeychain::addKeychainItem(m_name, kKind, u"apps"_s, u"a"_s, u"apps.local"_s, {u"/opt/Other.app"_s}));
        const std::optional<ZDKeychain::Item> item =
            ZDKeychain::keychainItem(m_name, kKind, u"apps"_s, u"apps.local"_s);
        QVERIFY(item.has_value());
        QVERIFY(ZDKeychain::trustedAppsForItem(*item).isEmpty());
        QVERIFY(!ZDKeychain::addTrustedAppAtPath(u"/opt/Kestra Admin.app"_s, *item));
        QCOMPARE(ZDKeychain::getPasswordFromItem(*item), u"a"_s);
    }
    void worksFromManyThreadsAtOnce()
    {
        std::vector<std::unique_ptr<QThread>> threads;
        QAtomicInt failures = 0;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back(QThread::create([this, t, &failures] {
                const QString host = u"thread%1.local"_s.arg(t);
                for (int round = 0; round < 5; ++round) {
                    const QString password = u"pw-%1-%2"_s.arg(t).arg(round);
                    if (!add(u"worker"_s, password, host) || this->password(u"worker"_s, host) != password)
                        failures.fetchAndAddRelaxed(1);
                }
                if (!ZDKeychain::deleteKeychainItem(m_name, kKind, u"worker"_s, host))
                    failures.fetchAndAddRelaxed(1);
            }));
            threads.back()->start();
        }
        for (const auto &thread : threads)
            QVERIFY(thread->wait(120000));
        QCOMPARE(failures.loadRelaxed(), 0);
        QVERIFY(!exists(u"worker"_s, QString()));
    }
    void unreachableServiceIsAnErrorNeverAFallback()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"KESTRA_KEYCHAIN_PROBE"_s, u"1"_s);
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + m_sandbox->path(u"no-bus"_s));
        const zdtest::Ran child = zdtest::runProgram(QCoreApplication::applicationFilePath(), {}, env);
        QCOMPARE(child.code, 0);
        const QString out = child.out.trimmed();
        QVERIFY2(out.startsWith(u"0 0 No Secret Service is reachable"_s), qPrintable(out));
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
