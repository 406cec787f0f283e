// Two real agents on one address, as two users' sessions on one computer: a group
// keeps the one put into it across a restart of the console, and a group stored the
// old way (by address) is taken over by one computer, not by both. An agent that
// goes away and comes back is connected again without any call noticing first, and
// a computer disconnected on purpose connects again when asked. A computer is its key.
#include "dispatch/ZDErrorCallback.h"
#include "fleet/ZDDiscovery.h"
#include "fleet/ZDServiceOutline.h"
#include "ZDRealAgent.h"
#include "plist/ZDPropertyList.h"
#include "trust/ZDKnownAgents.h"
#include "ZDTestSandbox.h"

#include <QSettings>
#include <QtTest>

#include <thread>

using namespace Qt::StringLiterals;

class TestZDFleetIdentity : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_console;
    std::shared_ptr<ZDErrorCallback> m_callback = std::make_shared<ZDErrorCallback>();
    ZDRealAgent m_agents[2];
    QString m_settings;

    ZDServicePtr named(ZDDiscovery &discovery, const QString &name)
    {
        for (const ZDServicePtr &s : discovery.allServices())
            if (s->name() == name)
                return s;
        return {};
    }
    static QStringList names(const QList<ZDServicePtr> &services)
    {
        QStringList out;
        for (const ZDServicePtr &s : services)
            out << s->name();
        out.sort();
        return out;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_console.isValid());
        ZDService::setRetryInterval(200);
        m_settings = m_console.path(u"admin.ini"_s);
        for (int i = 0; i < 2; ++i)
            QVERIFY2(m_agents[i].startAlone(ZDRealAgent::freePort(), "studio-" + QByteArray::number(i)), qPrintable(m_agents[i].output()));
        ZDDiscovery discovery(m_callback, m_settings);
        QString title, text;
        for (int i = 0; i < 2; ++i)
            QVERIFY(discovery.submitManualConnection(u"Session %1"_s.arg(i), u"127.0.0.1"_s,
                                                     QString::number(m_agents[i].port()), &title, &text));
    }
    void keyMetUnderAnotherName()
    {
        // A key pinned under one name makes another name the same computer; a key
        // replaced by trusting a new one proves nothing any more. First uses are
        // written to the file, also when they come in faster than it is written.
        const QString file = m_console.path(u"pins/known-agents.plist"_s);
        const ZDKnownAgents pins(file);
        const auto key = [](char c) { return QString(64, QLatin1Char(c)); };
        QVERIFY(pins.pin(u"a"_s, key('a')) && pins.pin(u"b"_s, key('b')));
        QCOMPARE(pins.check(u"a-again"_s, key('a')), ZDKnownAgents::Verdict::Trusted);
        QCOMPARE(pins.check(u"a"_s, key('c')), ZDKnownAgents::Verdict::Changed);
        QVERIFY(pins.pin(u"b"_s, key('d'))); // kestra trust b
        QCOMPARE(pins.check(u"b-elsewhere"_s, key('b')), ZDKnownAgents::Verdict::FirstUse);
        for (int i = 0; i < 300; ++i)
            QCOMPARE(pins.check(u"bay-%1"_s.arg(i), u"f%1"_s.arg(i, 63, 16, QLatin1Char('0'))), ZDKnownAgents::Verdict::FirstUse);
        QTRY_COMPARE(ZDPropertyList::readDictionary(file).size(), 304);
        QCOMPARE(ZDKnownAgents(file).pinned(u"bay-299"_s), u"f%1"_s.arg(299, 63, 16, QLatin1Char('0')));
    }
    void groupsAfterARestart()
    {
        {
            ZDDiscovery discovery(m_callback, m_settings);
            ZDServiceOutline outline(&discovery, m_settings);
            outline.populateServiceGroups();
            discovery.processManualConnections();
            const ZDServicePtr first = named(discovery, u"Session 0"_s);
            QVERIFY(first);
            QTRY_VERIFY_WITH_TIMEOUT(first->isConnected(), 30000);
            const ZDServiceGroupPtr group = outline.addServiceGroup();
            QVERIFY(outline.acceptDrop(ZDServiceOutline::pasteboardData({{nullptr, first}}), group));
            QCOMPARE(names(group->children()), QStringList{u"Session 0"_s});
        }
        // The console starts again: only the computer put there is in the group.
        {
            ZDDiscovery discovery(m_callback, m_settings);
            ZDServiceOutline outline(&discovery, m_settings);
            outline.populateServiceGroups();
            discovery.processManualConnections();
            QCOMPARE(discovery.groups().size(), 1);
            QCOMPARE(names(discovery.groups().first()->children()), QStringList{u"Session 0"_s});
            QCOMPARE(names(discovery.topLevelServices()), QStringList{u"Session 1"_s});
        }
        // A group stored by address, as before: one computer takes it over, and it is saved so.
        QSettings(m_settings, QSettings::IniFormat).setValue(u"groups"_s, QVariantMap{{u"Old"_s, QStringList{u"127.0.0.1"_s}}});
        {
            ZDDiscovery discovery(m_callback, m_settings);
            ZDServiceOutline outline(&discovery, m_settings);
            outline.populateServiceGroups();
            discovery.processManualConnections();
            QCOMPARE(discovery.groups().first()->children().size(), 1);
            QCOMPARE(discovery.topLevelServices().size(), 1);
        }
        const QStringList stored = QSettings(m_settings, QSettings::IniFormat).value(u"groups"_s).toMap().value(u"Old"_s).toStringList();
        QCOMPARE(stored.size(), 1);
        QVERIFY2(QRegularExpression(u"^manual:127\\.0\\.0\\.1:\\d+$"_s).match(stored.first()).hasMatch(), qPrintable(stored.first()));
    }
    void reconnectAfterAnAgentRestart()
    {
        ZDDiscovery discovery(m_callback, m_settings);
        discovery.processManualConnections();
        const ZDServicePtr s = named(discovery, u"Session 1"_s);
        QVERIFY(s);
        QTRY_VERIFY_WITH_TIMEOUT(s->isConnected(), 30000);
        // Gone: noticed by the link itself, no call needed.
        m_agents[1].kill();
        QTRY_VERIFY_WITH_TIMEOUT(!s->isConnected(), 30000);
        // Back on its port: retried like any computer that failed.
        QVERIFY2(m_agents[1].startAlone(m_agents[1].port(), "studio-1"), qPrintable(m_agents[1].output()));
        QTRY_VERIFY_WITH_TIMEOUT(s->isConnected(), 30000);

        // Disconnected on purpose, it stays so until Reconnect, which connects (off the GUI thread, as the window does).
        s->disconnect();
        QVERIFY(!s->isConnected());
        std::thread reconnect([s] { s->connectOnThread(); });
        reconnect.join();
        QTRY_VERIFY_WITH_TIMEOUT(s->isConnected(), 30000);
    }
};

QTEST_GUILESS_MAIN(TestZDFleetIdentity)
#include "tst_zdfleetidentity.moc"
