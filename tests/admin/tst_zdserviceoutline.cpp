// The computer list's rules without a window: sorting, group naming and renaming,
// persistence, moves by payload, removal, tool tips; one real agent plus records
// whose agents are not there.
#include "ZDAdminDefaults.h"
#include "ZDDiscovery.h"
#include "ZDErrorCallback.h"
#include "ZDRealAgent.h"
#include "ZDServiceOutline.h"
#include "ZDTestSandbox.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QSettings>
#include <QtTest>

namespace {

QStringList names(const QList<ZDServiceOutline::Item> &items)
{
    QStringList out;
    for (const auto &item : items)
        out << item.name();
    return out;
}

QStringList names(const QList<ZDServicePtr> &services)
{
    QStringList out;
    for (const auto &s : services)
        out << s->name();
    return out;
}

} // namespace

class TestZDServiceOutline : public QObject
{
    Q_OBJECT

private:
    struct Console
    {
        std::shared_ptr<ZDErrorCallback> errorCallback = std::make_shared<ZDErrorCallback>();
        std::unique_ptr<ZDDiscovery> discovery;
        std::unique_ptr<ZDServiceOutline> outline;
        explicit Console(const QString &settings)
        {
            discovery = std::make_unique<ZDDiscovery>(errorCallback, settings);
            outline = std::make_unique<ZDServiceOutline>(discovery.get(), settings);
            outline->populateServiceGroups();
            discovery->processManualConnections();
        }
        ~Console() { outline.reset(); }
    };

    void storeManual(const QVariantList &entries)
    {
        QSettings s(m_settings, QSettings::IniFormat);
        s.setValue(QStringLiteral("manualConnections"), entries);
        s.sync();
    }
    static QVariantMap entry(const QString &name, const QString &ip, int port)
    {
        return {{QStringLiteral("name"), name}, {QStringLiteral("ip"), ip}, {QStringLiteral("port"), QString::number(port)}};
    }

    std::unique_ptr<ZDTestSandbox> m_sandbox;
    QString m_settings;
    ZDRealAgent m_agent;
    quint16 m_agentPort = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(ZDRealAgent::exists(), qPrintable(ZDRealAgent::program()));
        m_agentPort = ZDRealAgent::freePort();
        QVERIFY(m_agent.start(m_agentPort));
    }

    void init()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        m_settings = m_sandbox->path(QStringLiteral("admin.ini"));
        // Distinct loopback addresses: the host key of a manual computer is its address.
        storeManual({entry(QStringLiteral("charlie"), QStringLiteral("127.0.0.1"), m_agentPort),
                     entry(QStringLiteral("Alpha"), QStringLiteral("127.0.0.2"), ZDRealAgent::freePort()),
                     entry(QStringLiteral("delta"), QStringLiteral("127.0.0.3"), ZDRealAgent::freePort()),
                     entry(QStringLiteral("Echo"), QStringLiteral("127.0.0.4"), ZDRealAgent::freePort())});
    }

    void cleanup() { m_sandbox.reset(); }

    void groupsAndComputersSortTogetherIgnoringCase()
    {
        {
            QSettings s(m_settings, QSettings::IniFormat);
            s.setValue(QStringLiteral("groups"), QVariantMap{{QStringLiteral("beta"), QStringList()},
                                                             {QStringLiteral("Zulu"), QStringList()}});
        }
        Console c(m_settings);
        QCOMPARE(names(c.outline->topLevelItems()),
                 QStringList({"Alpha", "beta", "charlie", "delta", "Echo", "Zulu"}));
    }

    void newGroupTakesTheSmallestFreeNumber()
    {
        {
            QSettings s(m_settings, QSettings::IniFormat);
            s.setValue(QStringLiteral("groups"), QVariantMap{{QStringLiteral("Group"), QStringList()},
                                                             {QStringLiteral("Group 2"), QStringList()}});
        }
        Console c(m_settings);
        QCOMPARE(c.outline->addServiceGroup()->name(), QStringLiteral("Group 1"));
        QCOMPARE(c.outline->addServiceGroup()->name(), QStringLiteral("Group 3"));
        Console fresh(m_sandbox->path(QStringLiteral("other.ini")));
        QCOMPARE(fresh.outline->addServiceGroup()->name(), QStringLiteral("Group"));
    }

    void renameRules()
    {
        Console c(m_settings);
        const auto a = c.outline->addServiceGroup();
        const auto b = c.outline->addServiceGroup();
        QVERIFY(!c.outline->renameGroup(b, QStringLiteral("Group")));   // taken
        QVERIFY(!c.outline->renameGroup(b, QStringLiteral("Group 1"))); // its own name
        QVERIFY(!c.outline->renameGroup(b, QStringLiteral("   ")));     // blank
        QVERIFY(!c.outline->renameGroup(b, QString(300, QLatin1Char('x'))));
        QVERIFY(c.outline->renameGroup(a, QStringLiteral("aardvark")));
        QCOMPARE(c.outline->topLevelItems().first().name(), QStringLiteral("aardvark"));
        QSettings s(m_settings, QSettings::IniFormat);
        QVERIFY(s.value(QStringLiteral("groups")).toMap().contains(QStringLiteral("aardvark")));
        QVERIFY(!s.value(QStringLiteral("groups")).toMap().contains(QStringLiteral("Group")));
    }

    // Kept across a restart, expanded, and back through the header: the window's test.
    void moveBetweenGroups()
    {
        Console c(m_settings);
        const auto a = c.outline->addServiceGroup();
        const auto b = c.outline->addServiceGroup();
        const auto echo = c.discovery->serviceWithManualIP(QStringLiteral("127.0.0.4"));
        QVERIFY(echo);
        const QByteArray payload = ZDServiceOutline::pasteboardData({{nullptr, echo}});
        QVERIFY(c.outline->acceptDrop(payload, a));
        QCOMPARE(names(a->children()), QStringList{"Echo"});
        QVERIFY(c.outline->acceptDrop(payload, b));
        QVERIFY(a->children().isEmpty());
        QVERIFY(!a->hostNames().contains(QStringLiteral("127.0.0.4"))); // written under B only
        QCOMPARE(b->hostNames(), QStringList{"127.0.0.4"});
    }

    void dragOfAGroupAndBadPayloadsAreRefused()
    {
        Console c(m_settings);
        const auto g = c.outline->addServiceGroup();
        const auto alpha = c.discovery->serviceWithManualIP(QStringLiteral("127.0.0.2"));
        QVERIFY(ZDServiceOutline::pasteboardData({{g, nullptr}, {nullptr, alpha}}).isEmpty());
        QVERIFY(!ZDServiceOutline::validateDrop(true));
        QVERIFY(ZDServiceOutline::validateDrop(false));

        const QList<QByteArray> bad = {
            QByteArray(),
            QByteArray("\xff\x00garbage", 9),
            QCborValue(QCborMap{{QStringLiteral("a"), 1}}).toCbor(),
            QCborValue(QCborArray{1, 2}).toCbor(),
            QCborValue(QCborArray{QString()}).toCbor(),
            QCborValue(QCborArray{QString(2000, QLatin1Char('k'))}).toCbor(),
            QCborValue(QCborArray()).toCbor(),
            QByteArray(ZDServiceOutline::kMaxPayloadBytes + 1, '\x80'),
        };
        for (const QByteArray &data : bad) {
            QVERIFY(!ZDServiceOutline::hostKeysFromPasteboard(data, nullptr));
            QVERIFY(!c.outline->acceptDrop(data, g));
        }
        QVERIFY(g->children().isEmpty());
        // Unknown keys are skipped, known ones move.
        QVERIFY(c.outline->acceptDrop(QCborValue(QCborArray{QStringLiteral("10.9.9.9"), QStringLiteral("127.0.0.2")}).toCbor(), g));
        QCOMPARE(names(g->children()), QStringList{"Alpha"});
    }

    void removingAManualComputerForgetsOnlyItsEntry()
    {
        // A namesake at another address keeps its entry.
        const quint16 other = ZDRealAgent::freePort();
        {
            QSettings s(m_settings, QSettings::IniFormat);
            QVariantList list = s.value(QStringLiteral("manualConnections")).toList();
            list.append(entry(QStringLiteral("Alpha"), QStringLiteral("127.0.0.5"), other));
            s.setValue(QStringLiteral("manualConnections"), list);
        }
        Console c(m_settings);
        const auto alpha = c.discovery->serviceWithManualIP(QStringLiteral("127.0.0.2"));
        QVERIFY(alpha);
        c.outline->removeItems({{nullptr, alpha}});
        QVERIFY(alpha->isInvalidated());
        QVERIFY(!c.discovery->serviceWithManualIP(QStringLiteral("127.0.0.2")));
        QVERIFY(c.discovery->serviceWithManualIP(QStringLiteral("127.0.0.5")));
        QStringList ips;
        for (const QVariant &e : c.discovery->manualConnections())
            ips << e.toMap().value(QStringLiteral("ip")).toString();
        QCOMPARE(ips, QStringList({"127.0.0.1", "127.0.0.3", "127.0.0.4", "127.0.0.5"}));
    }

    void unreadableSettingsAreIgnored()
    {
        {
            QSettings s(m_settings, QSettings::IniFormat);
            s.setValue(QStringLiteral("groups"), QStringLiteral("not a dictionary"));
            s.setValue(QStringLiteral("expandedGroups"), 42);
        }
        Console c(m_settings);
        QVERIFY(c.discovery->groups().isEmpty());
        QVERIFY(c.outline->expandedGroups().isEmpty());
        {
            QSettings s(m_settings, QSettings::IniFormat);
            s.setValue(QStringLiteral("groups"),
                       QVariantMap{{QStringLiteral("Good"), QVariantList{QStringLiteral("127.0.0.3"), 7, QVariantMap()}},
                                   {QStringLiteral("   "), QStringList()},
                                   {QStringLiteral("Odd"), 5}});
        }
        Console d(m_settings);
        QCOMPARE(d.discovery->groups().size(), 2);
        QCOMPARE(d.outline->groupWithName(QStringLiteral("Good"))->hostNames(), QStringList{"127.0.0.3"});
        QCOMPARE(names(d.outline->groupWithName(QStringLiteral("Good"))->children()), QStringList{"delta"});
    }

    void toolTipsFollowTheState()
    {
        Console c(m_settings);
        const auto charlie = c.discovery->serviceWithManualIP(QStringLiteral("127.0.0.1"));
        const auto alpha = c.discovery->serviceWithManualIP(QStringLiteral("127.0.0.2"));
        QTRY_VERIFY_WITH_TIMEOUT(charlie->isConnected() && !charlie->isProcessing(), 60000);
        QCOMPARE(ZDServiceOutline::toolTipForService(*charlie), QString());
        QCOMPARE(ZDServiceOutline::rowState(*charlie), ZDServiceOutline::RowState::Plain);
        QTRY_VERIFY_WITH_TIMEOUT(!alpha->isProcessing(), 60000);
        QCOMPARE(ZDServiceOutline::toolTipForService(*alpha), QStringLiteral("Client is not connected"));
        QCOMPARE(ZDServiceOutline::rowState(*alpha), ZDServiceOutline::RowState::NotConnected);

        charlie->setNeedsMaintenance(true);
        QCOMPARE(ZDServiceOutline::toolTipForService(*charlie), QStringLiteral("User requested maintenance on this system"));
        QCOMPARE(ZDServiceOutline::rowState(*charlie), ZDServiceOutline::RowState::Maintenance);
        charlie->setErrorCode(2006);
        QCOMPARE(ZDServiceOutline::toolTipForService(*charlie),
                 QStringLiteral("Kestra Client is outdated on this machine. Please install a more recent version."));
        charlie->setErrorCode(4711);
        QCOMPARE(ZDServiceOutline::toolTipForService(*charlie),
                 QStringLiteral("Unknown error. Please check error logs on the local machine."));
        charlie->setNeedsMaintenance(false);
        QCOMPARE(ZDServiceOutline::rowState(*charlie), ZDServiceOutline::RowState::Error);
        charlie->setEnabled(false);
        QCOMPARE(ZDServiceOutline::rowState(*charlie), ZDServiceOutline::RowState::Disabled);
    }

    void selectionExpandsGroupsOnce()
    {
        Console c(m_settings);
        const auto g = c.outline->addServiceGroup();
        const auto delta = c.discovery->serviceWithManualIP(QStringLiteral("127.0.0.3"));
        const auto echo = c.discovery->serviceWithManualIP(QStringLiteral("127.0.0.4"));
        QVERIFY(c.outline->acceptDrop(ZDServiceOutline::pasteboardData({{nullptr, echo}, {nullptr, delta}}), g));
        c.outline->setSelection({{g, nullptr}, {nullptr, delta}});
        QCOMPARE(names(c.outline->selectedServices()), QStringList({"delta", "Echo"}));
        QCOMPARE(c.outline->selectedParents().size(), 1);
        c.outline->setSelection({});
        QCOMPARE(c.outline->selectedServices().size(), 4);
        QCOMPARE(ZDServiceOutline::statusLine(1, false), QStringLiteral("1 computer selected"));
        QCOMPARE(ZDServiceOutline::statusLine(3, true), QStringLiteral("Processing tasks on 3 computers"));
    }

    void registeredDefaultsFillWhatTheFileLacks()
    {
        QSettings s(m_settings, QSettings::IniFormat);
        QCOMPARE(ZDAdminDefaults::value(s, QStringLiteral("quellarLogTableSortedColumn")).toString(), QStringLiteral("date"));
        QCOMPARE(ZDAdminDefaults::boolValue(s, QStringLiteral("errorLogTableSortedDescending")), true);
        QCOMPARE(ZDAdminDefaults::boolValue(s, QStringLiteral("autoRefresh")), true);
        QCOMPARE(ZDAdminDefaults::boolValue(s, QStringLiteral("requireAdminPassword")), false);
        QCOMPARE(ZDAdminDefaults::boolValue(s, QStringLiteral("firstRun"), true), true);
        s.setValue(QStringLiteral("autoRefresh"), 0);
        s.setValue(QStringLiteral("errorLogTableSortedDescending"), QStringLiteral("false"));
        s.setValue(QStringLiteral("SUCheckAtStartup"), QStringLiteral("banana")); // damaged: the default
        s.sync();
        QSettings r(m_settings, QSettings::IniFormat);
        QCOMPARE(ZDAdminDefaults::boolValue(r, QStringLiteral("autoRefresh")), false);
        QCOMPARE(ZDAdminDefaults::boolValue(r, QStringLiteral("errorLogTableSortedDescending")), false);
        QCOMPARE(ZDAdminDefaults::boolValue(r, QStringLiteral("SUCheckAtStartup")), true);
    }
};

QTEST_GUILESS_MAIN(TestZDServiceOutline)
#include "tst_zdserviceoutline.moc"
