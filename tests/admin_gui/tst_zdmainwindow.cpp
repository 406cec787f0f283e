// The console window and its computer list against a real agent: sorting, group
// naming and renaming, keys, moves by drag data and by hostile payloads, removal,
// tool tips per state, unreadable settings, persistence across a restart of the
// window, the welcome sheet, the context menu and screenshots; hostile names shown as text; the shared
// list pieces.
#include "ZDAlert.h"
#include "ZDCredentialSheet.h"
#include "ZDDiscovery.h"
#include "ZDDispatcher.h"
#include "ZDErrorCallback.h"
#include "ZDFakeAgent.h"
#include "ZDItemViews.h"
#include "ZDMainWindow.h"
#include "ZDFreePort.h"
#include "ZDPlainText.h"
#include "ZDRealAgent.h"
#include "ZDServiceOutline.h"
#include "ZDServiceOutlineModel.h"
#include "ZDServiceOutlineView.h"
#include "ZDAdminDefaults.h"
#include "ZDTestSandbox.h"
#include "ZDTroubleshooter.h"

#include <QApplication>
#include <QCborArray>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStandardItemModel>
#include <QToolButton>
#include <QToolTip>
#include <QtTest>

#include <thread>

// Takes the list pieces' bound key slot.
class Receiver : public QObject
{
    Q_OBJECT
public:
    int removed = 0;
public Q_SLOTS:
    void removeItems() { ++removed; }
};

class TestZDMainWindow : public QObject
{
    Q_OBJECT

private:
    static QVariantMap entry(const QString &name, const QString &ip, int port)
    {
        return {{QStringLiteral("name"), name}, {QStringLiteral("ip"), ip}, {QStringLiteral("port"), QString::number(port)}};
    }
    std::unique_ptr<ZDMainWindow> openWindow()
    {
        ZDMainWindow::Options options;
        options.settingsPath = m_settings;
        options.browse = false; // other computers on the shared bus are not ours
        auto window = std::make_unique<ZDMainWindow>(options);
        window->resize(1280, 800);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            return nullptr;
        return window;
    }
    // Rows under the header, as shown.
    static QStringList topRows(ZDServiceOutlineModel *model)
    {
        QStringList out;
        const QModelIndex header = model->headerIndex();
        for (int r = 0; r < model->rowCount(header); ++r)
            out << model->index(r, 0, header).data().toString();
        return out;
    }
    static QModelIndex rowNamed(ZDServiceOutlineModel *model, const QString &name, const QModelIndex &parent = {})
    {
        const QModelIndex p = parent.isValid() ? parent : model->headerIndex();
        for (int r = 0; r < model->rowCount(p); ++r) {
            const QModelIndex idx = model->index(r, 0, p);
            if (idx.data().toString() == name)
                return idx;
        }
        return {};
    }
    static QStringList names(const QList<ZDServiceOutline::Item> &items)
    {
        QStringList out;
        for (const auto &item : items)
            out << item.name();
        return out;
    }
    static QStringList names(const QList<ZDServicePtr> &services)
    {
        QStringList out;
        for (const auto &s : services)
            out << s->name();
        return out;
    }
    void setSetting(const QString &key, const QVariant &value) { QSettings(m_settings, QSettings::IniFormat).setValue(key, value); }
    static bool drag(ZDServiceOutlineModel *model, const QModelIndexList &rows, const QModelIndex &target)
    {
        std::unique_ptr<QMimeData> mime(model->mimeData(rows));
        if (!mime || !model->canDropMimeData(mime.get(), Qt::MoveAction, -1, 0, target))
            return false;
        return model->dropMimeData(mime.get(), Qt::MoveAction, -1, 0, target);
    }
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    QString m_settings;
    ZDRealAgent m_agent;
    quint16 m_agentPort = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(ZDRealAgent::exists(), qPrintable(ZDRealAgent::program()));
        m_agentPort = zdtest::freePort();
        QVERIFY(m_agent.start(m_agentPort));
    }
    void init()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        m_settings = m_sandbox->path(QStringLiteral("home/.config/com.zendrel.KestraAdmin.ini"));
        m_sandbox->setEnv("KESTRA_ADMIN_SETTINGS", m_settings.toUtf8());
        QSettings s(m_settings, QSettings::IniFormat);
        s.setValue(QStringLiteral("firstRun"), false);
        // Distinct loopback addresses: a manual computer's host key is its address.
        s.setValue(QStringLiteral("manualConnections"),
                   QVariantList{entry(QStringLiteral("Ingest"), QStringLiteral("127.0.0.1"), m_agentPort),
                                entry(QStringLiteral("alpha bay"), QStringLiteral("127.0.0.2"), zdtest::freePort()),
                                entry(QStringLiteral("Color"), QStringLiteral("127.0.0.3"), zdtest::freePort()),
                                entry(QStringLiteral("mix stage"), QStringLiteral("127.0.0.4"), zdtest::freePort())});
    }
    void cleanup() { m_sandbox.reset(); }
    void headerAndSorting()
    {
        setSetting(QStringLiteral("groups"), QVariantMap{{QStringLiteral("beta"), QStringList()}, {QStringLiteral("Zulu"), QStringList()}});
        auto w = openWindow();
        QVERIFY(w);
        auto *model = w->outlineModel();
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(model->headerIndex().data().toString(), QStringLiteral("SERVICES"));
        QVERIFY(!(model->flags(model->headerIndex()) & Qt::ItemIsSelectable));
        QVERIFY(w->outlineView()->isExpanded(model->headerIndex()));
        w->outlineView()->collapse(model->headerIndex());
        QVERIFY(w->outlineView()->isExpanded(model->headerIndex()));
        // Groups and computers together, ignoring case.
        QCOMPARE(topRows(model), QStringList({"alpha bay", "beta", "Color", "Ingest", "mix stage", "Zulu"}));
        QCOMPARE(names(w->outline()->topLevelItems()), topRows(model));
        QCOMPARE(w->statusText(), QStringLiteral("4 computers selected"));
    }
    void welcomeSheetOnFirstRunOnly()
    {
        QSettings(m_settings, QSettings::IniFormat).remove(QStringLiteral("firstRun"));
        {
            auto w = openWindow();
            QVERIFY(w);
            QTRY_VERIFY_WITH_TIMEOUT(w->welcomeSheet() && w->welcomeSheet()->isVisible(), 10000);
            w->welcomeSheet()->accept();
        }
        auto again = openWindow();
        QVERIFY(again);
        QCoreApplication::processEvents(); // the check the window posted for itself has run
        QVERIFY(!again->welcomeSheet());
    }
    void groupsByKeyRenameAndRestart()
    {
        {
            auto w = openWindow();
            QVERIFY(w);
            auto *view = w->outlineView();
            auto *model = w->outlineModel();
            view->setFocus();
            QTest::keyClick(view, Qt::Key_N, Qt::ControlModifier);
            QVERIFY(rowNamed(model, QStringLiteral("Group")).isValid());
            auto *editor = qobject_cast<QLineEdit *>(view->focusWidget()); // the new name is being edited
            QVERIFY(editor);
            QCOMPARE(editor->text(), QStringLiteral("Group"));
            QTest::keyClick(view->focusWidget(), Qt::Key_Escape);
            QTest::keyClick(view, Qt::Key_N, Qt::ControlModifier);
            QVERIFY(rowNamed(model, QStringLiteral("Group 1")).isValid());
            QTest::keyClick(view->focusWidget(), Qt::Key_Escape);
            // Renaming to a taken name is refused; a free one sorts the row anew.
            QVERIFY(!model->setData(rowNamed(model, QStringLiteral("Group 1")), QStringLiteral("Group"), Qt::EditRole));
            QVERIFY(!model->setData(rowNamed(model, QStringLiteral("Ingest")), QStringLiteral("X"), Qt::EditRole));
            QVERIFY(model->setData(rowNamed(model, QStringLiteral("Group 1")), QStringLiteral("Edit Bays"), Qt::EditRole));
            QTRY_VERIFY_WITH_TIMEOUT(rowNamed(model, QStringLiteral("Edit Bays")).isValid(), 10000);
            QVERIFY(drag(model, {rowNamed(model, QStringLiteral("Color")), rowNamed(model, QStringLiteral("alpha bay"))},
                         rowNamed(model, QStringLiteral("Edit Bays"))));
            QCOMPARE(topRows(model), QStringList({"Edit Bays", "Group", "Ingest", "mix stage"}));
            view->expand(rowNamed(model, QStringLiteral("Edit Bays")));
        }
        const QVariantMap stored = QSettings(m_settings, QSettings::IniFormat).value(QStringLiteral("groups")).toMap();
        QCOMPARE(stored.value(QStringLiteral("Edit Bays")).toStringList(), QStringList({"127.0.0.3", "127.0.0.2"}));
        auto w = openWindow();
        QVERIFY(w);
        auto *model = w->outlineModel();
        QCOMPARE(topRows(model), QStringList({"Edit Bays", "Group", "Ingest", "mix stage"}));
        const QModelIndex bays = rowNamed(model, QStringLiteral("Edit Bays"));
        QCOMPARE(model->rowCount(bays), 2);
        QCOMPARE(model->index(0, 0, bays).data().toString(), QStringLiteral("alpha bay"));
        QVERIFY(w->outlineView()->isExpanded(bays));
        QVERIFY(!w->outlineView()->isExpanded(rowNamed(model, QStringLiteral("Group"))));
    }
    // The view's drag data; the moves themselves are moveBetweenGroupsAndBadPayloads'.
    void dragFromGroupToGroupAndBack()
    {
        auto w = openWindow();
        QVERIFY(w);
        auto *model = w->outlineModel();
        w->outline()->addServiceGroup();
        w->outline()->addServiceGroup();
        QVERIFY(drag(model, {rowNamed(model, QStringLiteral("Ingest"))}, rowNamed(model, QStringLiteral("Group"))));
        const QModelIndex inGroup = rowNamed(model, QStringLiteral("Ingest"), rowNamed(model, QStringLiteral("Group")));
        QVERIFY(inGroup.isValid());
        // Onto a computer: refused. A group is never dragged; someone else's data is not ours.
        std::unique_ptr<QMimeData> mime(model->mimeData({inGroup}));
        QVERIFY(mime && !model->dropMimeData(mime.get(), Qt::MoveAction, -1, 0, rowNamed(model, QStringLiteral("Color"))));
        QVERIFY(!model->mimeData({rowNamed(model, QStringLiteral("Group 1"))}));
        QMimeData foreign;
        foreign.setText(QStringLiteral("127.0.0.1"));
        QVERIFY(!model->canDropMimeData(&foreign, Qt::MoveAction, -1, 0, rowNamed(model, QStringLiteral("Group 1"))));
        QVERIFY(drag(model, {inGroup}, model->headerIndex())); // back through the header
        QCOMPARE(topRows(model), QStringList({"alpha bay", "Color", "Group", "Group 1", "Ingest", "mix stage"}));
    }
    void removeGroupWithTheDeleteKey()
    {
        auto w = openWindow();
        QVERIFY(w);
        auto *model = w->outlineModel();
        auto *view = w->outlineView();
        const auto group = w->outline()->addServiceGroup();
        QVERIFY(w->outline()->renameGroup(group, QStringLiteral("Bay")));
        QVERIFY(drag(model,
                     {rowNamed(model, QStringLiteral("Color")), rowNamed(model, QStringLiteral("mix stage")),
                      rowNamed(model, QStringLiteral("alpha bay"))},
                     rowNamed(model, QStringLiteral("Bay"))));
        QCOMPARE(topRows(model), QStringList({"Bay", "Ingest"}));
        view->selectionModel()->select(rowNamed(model, QStringLiteral("Bay")), QItemSelectionModel::ClearAndSelect);
        QCOMPARE(w->statusText(), QStringLiteral("3 computers selected"));
        view->setFocus();
        QTest::keyClick(view, Qt::Key_Delete);
        QCOMPARE(topRows(model), QStringList({"alpha bay", "Color", "Ingest", "mix stage"}));
        QVERIFY(QSettings(m_settings, QSettings::IniFormat).value(QStringLiteral("groups")).toMap().isEmpty());
    }
    // A namesake at another address keeps its entry.
    void removeManualComputerWithTheRemoveButton()
    {
        setSetting(QStringLiteral("manualConnections"),
                   QSettings(m_settings, QSettings::IniFormat).value(QStringLiteral("manualConnections")).toList()
                       << entry(QStringLiteral("Color"), QStringLiteral("127.0.0.5"), zdtest::freePort()));
        auto w = openWindow();
        QVERIFY(w);
        auto *model = w->outlineModel();
        const ZDServicePtr color = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.3"));
        QVERIFY(color);
        w->outlineView()->selectionModel()->select(model->indexForItem({nullptr, color}), QItemSelectionModel::ClearAndSelect);
        QToolButton *remove = nullptr;
        for (auto *b : w->findChildren<QToolButton *>())
            remove = b->accessibleName() == QLatin1String("Remove") ? b : remove;
        QVERIFY(remove && remove->isEnabled());
        QTest::mouseClick(remove, Qt::LeftButton);
        QCOMPARE(topRows(model), QStringList({"alpha bay", "Color", "Ingest", "mix stage"}));
        QVERIFY(color->isInvalidated());
        QVERIFY(!w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.3")));
        QVERIFY(w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.5")));
        QStringList ips;
        for (const QVariant &e : QSettings(m_settings, QSettings::IniFormat).value(QStringLiteral("manualConnections")).toList())
            ips << e.toMap().value(QStringLiteral("ip")).toString();
        QCOMPARE(ips, QStringList({"127.0.0.1", "127.0.0.2", "127.0.0.4", "127.0.0.5"}));
    }
    // Each state its text and look; the rows show them.
    void toolTipsPerState()
    {
        auto w = openWindow();
        QVERIFY(w);
        auto *model = w->outlineModel();
        const ZDServicePtr ingest = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.1"));
        const ZDServicePtr alpha = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.2"));
        QTRY_VERIFY_WITH_TIMEOUT(ingest->isConnected() && !ingest->isProcessing() && !alpha->isProcessing(), 60000);
        QCOMPARE(ZDServiceOutline::toolTipForService(*ingest), QString());
        QCOMPARE(ZDServiceOutline::rowState(*ingest), ZDServiceOutline::RowState::Plain);
        const auto tip = [&] { return rowNamed(model, QStringLiteral("alpha bay")).data(Qt::ToolTipRole).toString(); };
        QCOMPARE(tip(), QStringLiteral("Client is not connected"));
        QCOMPARE(ZDServiceOutline::rowState(*alpha), ZDServiceOutline::RowState::NotConnected);
        alpha->setErrorCode(2008);
        QCOMPARE(tip(), ZDServiceOutline::toolTipForService(*alpha));
        alpha->setErrorCode(0);
        ingest->setNeedsMaintenance(true);
        QCOMPARE(ZDServiceOutline::toolTipForService(*ingest), QStringLiteral("User requested maintenance on this system"));
        QCOMPARE(ZDServiceOutline::rowState(*ingest), ZDServiceOutline::RowState::Maintenance);
        ingest->setErrorCode(2006);
        QCOMPARE(ZDServiceOutline::toolTipForService(*ingest),
                 QStringLiteral("Kestra Client is outdated on this machine. Please install a more recent version."));
        ingest->setErrorCode(4711);
        QCOMPARE(ZDServiceOutline::toolTipForService(*ingest),
                 QStringLiteral("Unknown error. Please check error logs on the local machine."));
        ingest->setNeedsMaintenance(false);
        QCOMPARE(ZDServiceOutline::rowState(*ingest), ZDServiceOutline::RowState::Error);
        ingest->setEnabled(false);
        QCOMPARE(ZDServiceOutline::rowState(*ingest), ZDServiceOutline::RowState::Disabled);
        ingest->setEnabled(true);
        ingest->setErrorCode(0);
    }
    void newGroupTakesTheSmallestFreeNumberAndRenameRules()
    {
        setSetting(QStringLiteral("groups"), QVariantMap{{QStringLiteral("Group"), QStringList()}, {QStringLiteral("Group 2"), QStringList()}});
        auto w = openWindow();
        QVERIFY(w);
        const auto a = w->outline()->addServiceGroup();
        const auto b = w->outline()->addServiceGroup();
        QCOMPARE(a->name(), QStringLiteral("Group 1"));
        QCOMPARE(b->name(), QStringLiteral("Group 3"));
        // Taken names: the window's key test.
        QVERIFY(!w->outline()->renameGroup(b, QStringLiteral("Group 3"))); // its own name
        QVERIFY(!w->outline()->renameGroup(b, QStringLiteral("   ")));
        QVERIFY(!w->outline()->renameGroup(b, QString(300, QLatin1Char('x'))));
        QVERIFY(w->outline()->renameGroup(a, QStringLiteral("aardvark")));
        QCOMPARE(w->outline()->topLevelItems().first().name(), QStringLiteral("aardvark"));
        const QVariantMap groups = QSettings(m_settings, QSettings::IniFormat).value(QStringLiteral("groups")).toMap();
        QVERIFY(groups.contains(QStringLiteral("aardvark")) && !groups.contains(QStringLiteral("Group 1")));
    }
    // Kept across a restart, expanded, and back through the header: the key test.
    void moveBetweenGroupsAndBadPayloads()
    {
        auto w = openWindow();
        QVERIFY(w);
        ZDServiceOutline *outline = w->outline();
        const auto a = outline->addServiceGroup();
        const auto b = outline->addServiceGroup();
        const auto mix = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.4"));
        const QByteArray payload = ZDServiceOutline::pasteboardData({{nullptr, mix}});
        QVERIFY(outline->acceptDrop(payload, a));
        QCOMPARE(names(a->children()), QStringList{"mix stage"});
        QVERIFY(outline->acceptDrop(payload, b));
        QVERIFY(a->children().isEmpty());
        QVERIFY(!a->hostNames().contains(QStringLiteral("127.0.0.4"))); // written under B only
        QCOMPARE(b->hostNames(), QStringList{"127.0.0.4"});
        const auto alpha = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.2"));
        QVERIFY(ZDServiceOutline::pasteboardData({{a, nullptr}, {nullptr, alpha}}).isEmpty());
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
            QVERIFY(!outline->acceptDrop(data, a));
        }
        QVERIFY(a->children().isEmpty());
        // Unknown keys are skipped, known ones move.
        QVERIFY(outline->acceptDrop(QCborValue(QCborArray{QStringLiteral("10.9.9.9"), QStringLiteral("127.0.0.2")}).toCbor(), a));
        QCOMPARE(names(a->children()), QStringList{"alpha bay"});
    }
    void unreadableSettingsAreIgnored()
    {
        setSetting(QStringLiteral("groups"), QStringLiteral("not a dictionary"));
        setSetting(QStringLiteral("expandedGroups"), 42);
        {
            auto w = openWindow();
            QVERIFY(w);
            QVERIFY(w->discovery()->groups().isEmpty());
            QVERIFY(w->outline()->expandedGroups().isEmpty());
        }
        setSetting(QStringLiteral("groups"), QVariantMap{{QStringLiteral("Good"), QVariantList{QStringLiteral("127.0.0.3"), 7, QVariantMap()}},
                                                         {QStringLiteral("   "), QStringList()},
                                                         {QStringLiteral("Odd"), 5}});
        auto w = openWindow();
        QVERIFY(w);
        QCOMPARE(w->discovery()->groups().size(), 2);
        QCOMPARE(w->outline()->groupWithName(QStringLiteral("Good"))->hostNames(), QStringList{"127.0.0.3"});
        QCOMPARE(names(w->outline()->groupWithName(QStringLiteral("Good"))->children()), QStringList{"Color"});
    }
    void selectionExpandsGroupsOnce()
    {
        auto w = openWindow();
        QVERIFY(w);
        ZDServiceOutline *outline = w->outline();
        const auto g = outline->addServiceGroup();
        const auto color = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.3"));
        const auto mix = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.4"));
        QVERIFY(outline->acceptDrop(ZDServiceOutline::pasteboardData({{nullptr, mix}, {nullptr, color}}), g));
        outline->setSelection({{g, nullptr}, {nullptr, color}});
        QCOMPARE(names(outline->selectedServices()), QStringList({"Color", "mix stage"}));
        QCOMPARE(outline->selectedParents().size(), 1);
        outline->setSelection({});
        QCOMPARE(outline->selectedServices().size(), 4);
        QCOMPARE(ZDServiceOutline::statusLine(1, false), QStringLiteral("1 computer selected"));
        QCOMPARE(ZDServiceOutline::statusLine(3, true), QStringLiteral("Processing tasks on 3 computers"));
    }
    void registeredDefaultsFillWhatTheFileLacks()
    {
        const QString file = m_sandbox->path(QStringLiteral("defaults.ini"));
        QSettings s(file, QSettings::IniFormat);
        QCOMPARE(ZDAdminDefaults::value(s, QStringLiteral("quellarLogTableSortedColumn")).toString(), QStringLiteral("date"));
        QCOMPARE(ZDAdminDefaults::boolValue(s, QStringLiteral("errorLogTableSortedDescending")), true);
        QCOMPARE(ZDAdminDefaults::boolValue(s, QStringLiteral("autoRefresh")), true);
        QCOMPARE(ZDAdminDefaults::boolValue(s, QStringLiteral("requireAdminPassword")), false);
        QCOMPARE(ZDAdminDefaults::boolValue(s, QStringLiteral("firstRun"), true), true);
        s.setValue(QStringLiteral("autoRefresh"), 0);
        s.setValue(QStringLiteral("errorLogTableSortedDescending"), QStringLiteral("false"));
        s.setValue(QStringLiteral("SUCheckAtStartup"), QStringLiteral("banana")); // damaged: the default
        s.sync();
        QSettings r(file, QSettings::IniFormat);
        QCOMPARE(ZDAdminDefaults::boolValue(r, QStringLiteral("autoRefresh")), false);
        QCOMPARE(ZDAdminDefaults::boolValue(r, QStringLiteral("errorLogTableSortedDescending")), false);
        QCOMPARE(ZDAdminDefaults::boolValue(r, QStringLiteral("SUCheckAtStartup")), true);
    }
    void cancelMaintenanceReachesTheAgent()
    {
        auto w = openWindow();
        QVERIFY(w);
        auto *model = w->outlineModel();
        const ZDServicePtr ingest = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.1"));
        QTRY_VERIFY_WITH_TIMEOUT(ingest->isConnected() && !ingest->isProcessing(), 60000);
        w->outlineView()->selectionModel()->select(rowNamed(model, QStringLiteral("Ingest")),
                                                   QItemSelectionModel::ClearAndSelect);
        QVERIFY(!w->cancelMaintenanceAction()->isEnabled());
        ingest->setNeedsMaintenance(true);
        QTRY_VERIFY_WITH_TIMEOUT(w->cancelMaintenanceAction()->isEnabled(), 10000);
        QSignalSpy answered(w->errorCallback(), &ZDErrorCallback::cancelMaintenance);
        w->cancelMaintenanceAction()->trigger();
        // The agent cancels and tells every console so.
        QTRY_VERIFY_WITH_TIMEOUT(answered.count() >= 1, 60000);
    }
    void doubleClickOnAMissingComputerOpensTheTroubleshooter()
    {
        auto w = openWindow();
        QVERIFY(w);
        auto *model = w->outlineModel();
        const ZDServicePtr alpha = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.2"));
        QTRY_VERIFY_WITH_TIMEOUT(!alpha->isProcessing(), 60000);
        // The first failed connection opened it once by itself.
        QTRY_VERIFY_WITH_TIMEOUT(w->findChild<ZDTroubleshooter *>(), 60000);
        w->findChild<ZDTroubleshooter *>()->hide();
        const QModelIndex row = rowNamed(model, QStringLiteral("alpha bay"));
        w->outlineView()->selectionModel()->select(row, QItemSelectionModel::ClearAndSelect);
        w->serviceDoubleClick(row);
        QTRY_VERIFY_WITH_TIMEOUT(w->findChild<ZDTroubleshooter *>() && w->findChild<ZDTroubleshooter *>()->isVisible(),
                                 10000);
    }
    void requireAdminPasswordIsStored()
    {
        auto w = openWindow();
        QVERIFY(w);
        QAction *require = nullptr;
        for (QAction *a : w->findChildren<QAction *>())
            require = a->text() == QLatin1String("Require Administrator Password at Launch") ? a : require;
        QVERIFY(require && require->isCheckable() && !require->isChecked());
        require->setChecked(true);
        QCOMPARE(QSettings(m_settings, QSettings::IniFormat).value(QStringLiteral("requireAdminPassword")).toInt(), 1);
        if (geteuid() != 0)
            QSKIP("switching the requirement off asks for administrator rights");
        require->setChecked(false);
        QCOMPARE(QSettings(m_settings, QSettings::IniFormat).value(QStringLiteral("requireAdminPassword")).toInt(), 0);
    }
    // A right click on a row not selected selects it alone; the window and its menu go to <build>/screenshots.
    void contextMenuSelectsItsRow()
    {
        auto w = openWindow();
        QVERIFY(w);
        auto *view = w->outlineView();
        auto *model = w->outlineModel();
        for (const char *name : {"Ingest", "alpha bay"})
            view->selectionModel()->select(rowNamed(model, QLatin1String(name)), QItemSelectionModel::Select);
        const QModelIndex color = rowNamed(model, QStringLiteral("Color"));
        const QPoint at = view->visualRect(color).center();
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view->viewport(), &menuEvent);
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::activePopupWidget(), 10000);
        QCOMPARE(view->selectionModel()->selectedRows(), QModelIndexList{color});
        const QString dir = QStringLiteral(KESTRA_SCREENSHOT_DIR);
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(w->grab().save(dir + QStringLiteral("/main-window.png")));
        QVERIFY(QApplication::activePopupWidget()->grab().save(dir + QStringLiteral("/context-menu.png")));
        QApplication::activePopupWidget()->close();
    }
    // Markup in a computer's typed name and its agent's host name: every label then shown is plain text or escaped.
    void hostileNamesAreShownAsText()
    {
        const QString evil = QStringLiteral("<img src=\"/dev/zero\"><b>bay</b>");
        ZDFakeTaskAgent agent(QStringLiteral("<h1>bay</h1>"));
        QVERIFY(agent.start());
        setSetting(QStringLiteral("manualConnections"), QVariantList{entry(evil, QStringLiteral("127.0.0.1"), agent.port)});
        ZDMainWindow w({m_settings, false});
        const QModelIndex row = w.outlineModel()->index(0, 0, w.outlineModel()->headerIndex());
        const ZDServicePtr service = w.outlineModel()->itemForIndex(row).service;
        QVERIFY(service && row.data().toString() == evil);
        QTRY_VERIFY_WITH_TIMEOUT(service->hostName().startsWith(QLatin1String("<h1>")), 30000);
        w.outlineView()->setCurrentIndex(row);
        w.showInfo();
        w.displayCrashDialogForClient(service, evil, evil);
        ZDAlert::alertSheet(evil, QStringLiteral("OK"), {}, {}, evil, &w, nullptr, {}, false);
        std::atomic<bool> done = false;
        std::thread asker([&] { done = !w.dispatcher()->authExecuteRemoteTask(QStringLiteral("clean"), QStringLiteral("t"), {}, service); });
        auto *sheet = w.findChild<ZDCredentialSheet *>();
        const bool asked = QTest::qWaitFor([&] { return sheet->isAsking() && sheet->isVisible(); }, 30000);
        QToolTip::showText(w.geometry().center(), ZDPlainText::toolTip(evil), &w);
        QStringList shown, markup;
        for (QWidget *widget : QApplication::allWidgets()) {
            auto *label = qobject_cast<QLabel *>(widget);
            if (label && label->isVisible() && label->text().contains(QLatin1String("bay")))
                (label->textFormat() == Qt::PlainText || !label->text().contains(QRegularExpression(QStringLiteral("<(img|h1)"))) ? shown : markup) << label->text();
        }
        sheet->cancelPending();
        const bool answered = QTest::qWaitFor([&] { return done.load(); }, 30000);
        asker.join();
        QVERIFY(asked && answered);
        QCOMPARE(markup, QStringList());
        // name and host in the panel, the sheet, the alert's two texts, the crash question, the tip
        QVERIFY2(shown.size() >= 7, qPrintable(shown.join(u'\n')));
    }
    // The shared list pieces: keys go to the owner's handler, then to the bound slots (a missing slot is
    // skipped, not fatal), a right click selects its row alone, and cut texts fit their width and say so.
    void listPiecesKeysMenusAndTruncation()
    {
        QStandardItemModel model(3, 1);
        for (int r = 0; r < 3; ++r)
            model.setItem(r, new QStandardItem(QStringLiteral("row %1").arg(r)));
        ZDTableView view;
        view.setModel(&model);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        Receiver receiver;
        view.addWatchKeys(QStringLiteral("x"), "noSuchSlot", &receiver);
        view.addWatchKeys(QStringLiteral("x\b"), "removeItems", &receiver);
        QTest::keyClick(&view, Qt::Key_X);
        QTest::keyClick(&view, Qt::Key_Backspace);
        QCOMPARE(receiver.removed, 2);
        // The owner's handler decides first; false means ordinary handling.
        QList<int> offered;
        view.setKeyHandlers([&](QKeyEvent *e) {
            offered << e->key();
            return e->key() == Qt::Key_X;
        });
        view.setCurrentIndex(model.index(0, 0));
        QTest::keyClick(&view, Qt::Key_Down);
        QCOMPARE(view.currentIndex().row(), 1);
        QTest::keyClick(&view, Qt::Key_X);
        QCOMPARE(receiver.removed, 3);
        QCOMPARE(offered, QList<int>({Qt::Key_Down, Qt::Key_X}));
        view.selectAll();
        const QPoint onRow = view.visualRect(model.index(2, 0)).center();
        QContextMenuEvent click(QContextMenuEvent::Mouse, onRow, view.viewport()->mapToGlobal(onRow));
        QApplication::sendEvent(view.viewport(), &click);
        QCOMPARE(view.selectionModel()->selectedRows(), QModelIndexList({model.index(2, 0)}));
        const QFontMetrics metrics(view.font());
        const QString text = QStringLiteral("A rather long plug-in name \U0001F3AC that cannot fit");
        const QString cut = zdTruncateString(text, 80, metrics);
        QVERIFY(cut.endsWith(QStringLiteral("...")) && metrics.horizontalAdvance(cut) <= 80);
        QCOMPARE(zdTruncateString(QStringLiteral("fits"), 500, metrics), QStringLiteral("fits"));
    }
};

QTEST_MAIN(TestZDMainWindow)
#include "tst_zdmainwindow.moc"
