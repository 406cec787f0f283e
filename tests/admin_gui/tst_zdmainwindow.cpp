// The console window against a real agent (and fake agents where a state must be
// forced): the computer list's groups, keys, drag and drop, removal, tool tips,
// persistence across a restart of the window, the welcome sheet and screenshots.
#include "ZDDiscovery.h"
#include "ZDErrorCallback.h"
#include "ZDFakeAgent.h"
#include "ZDMainWindow.h"
#include "ZDRealAgent.h"
#include "ZDServiceOutline.h"
#include "ZDServiceOutlineModel.h"
#include "ZDServiceOutlineView.h"
#include "ZDTestSandbox.h"
#include "ZDTroubleshooter.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QSettings>
#include <QToolButton>
#include <QtTest>

#include <unistd.h>

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
        m_agentPort = ZDRealAgent::freePort();
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
                                entry(QStringLiteral("alpha bay"), QStringLiteral("127.0.0.2"), ZDRealAgent::freePort()),
                                entry(QStringLiteral("Color"), QStringLiteral("127.0.0.3"), ZDRealAgent::freePort()),
                                entry(QStringLiteral("mix stage"), QStringLiteral("127.0.0.4"), ZDRealAgent::freePort())});
    }

    void cleanup() { m_sandbox.reset(); }

    void headerAndSorting()
    {
        auto w = openWindow();
        QVERIFY(w);
        auto *model = w->outlineModel();
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(model->headerIndex().data().toString(), QStringLiteral("SERVICES"));
        QVERIFY(!(model->flags(model->headerIndex()) & Qt::ItemIsSelectable));
        QVERIFY(w->outlineView()->isExpanded(model->headerIndex()));
        w->outlineView()->collapse(model->headerIndex());
        QVERIFY(w->outlineView()->isExpanded(model->headerIndex()));
        QCOMPARE(topRows(model), QStringList({"alpha bay", "Color", "Ingest", "mix stage"}));
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

    // The moves themselves are the outline's (tested there); here the view's drag data.
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

    void removeManualComputerWithTheRemoveButton()
    {
        auto w = openWindow();
        QVERIFY(w);
        auto *model = w->outlineModel();
        const ZDServicePtr color = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.3"));
        QVERIFY(color);
        w->outlineView()->selectionModel()->select(rowNamed(model, QStringLiteral("Color")),
                                                   QItemSelectionModel::ClearAndSelect);
        QToolButton *remove = nullptr;
        for (auto *b : w->findChildren<QToolButton *>())
            remove = b->accessibleName() == QLatin1String("Remove") ? b : remove;
        QVERIFY(remove && remove->isEnabled());
        QTest::mouseClick(remove, Qt::LeftButton);
        QCOMPARE(topRows(model), QStringList({"alpha bay", "Ingest", "mix stage"}));
        QVERIFY(color->isInvalidated());
        QCOMPARE(QSettings(m_settings, QSettings::IniFormat).value(QStringLiteral("manualConnections")).toList().size(), 3);
    }

    // The texts per state are the outline's (tested there); here that the rows show them.
    void toolTipsPerState()
    {
        auto w = openWindow();
        QVERIFY(w);
        auto *model = w->outlineModel();
        const ZDServicePtr alpha = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.2"));
        QTRY_VERIFY_WITH_TIMEOUT(!alpha->isProcessing(), 60000);
        const auto tip = [&] { return rowNamed(model, QStringLiteral("alpha bay")).data(Qt::ToolTipRole).toString(); };
        QCOMPARE(tip(), QStringLiteral("Client is not connected"));
        alpha->setErrorCode(2008);
        QCOMPARE(tip(), ZDServiceOutline::toolTipForService(*alpha));
        alpha->setErrorCode(0);
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

    void screenshots()
    {
        // Fake agents where a state must be forced: one never sends its configuration (working).
        ZDService::setConfigurationTimeout(120000);
        ZDFakeAgent silent({QStringLiteral("--no-config"), QStringLiteral("--no-icon"), QStringLiteral("--host"), QStringLiteral("render-02.local.")});
        ZDFakeAgent grading({QStringLiteral("--no-icon"), QStringLiteral("--host"), QStringLiteral("grading-01.local."), QStringLiteral("--model"), QStringLiteral("MacPro5,1")});
        ZDFakeAgent edit({QStringLiteral("--no-icon"), QStringLiteral("--host"), QStringLiteral("edit-03.local."), QStringLiteral("--model"), QStringLiteral("iMac12,2")});
        ZDFakeAgent review({QStringLiteral("--no-icon"), QStringLiteral("--host"), QStringLiteral("review-01.local."), QStringLiteral("--model"), QStringLiteral("MacBookPro8,2")});
        QVERIFY(silent.start() && grading.start() && edit.start() && review.start());
        {
            QSettings s(m_settings, QSettings::IniFormat);
            QVariantList list = s.value(QStringLiteral("manualConnections")).toList();
            list << entry(QStringLiteral("Render 02"), QStringLiteral("127.0.0.5"), silent.port())
                 << entry(QStringLiteral("Grading 01"), QStringLiteral("127.0.0.6"), grading.port())
                 << entry(QStringLiteral("Edit 03"), QStringLiteral("127.0.0.7"), edit.port())
                 << entry(QStringLiteral("Review 01"), QStringLiteral("127.0.0.8"), review.port());
            s.setValue(QStringLiteral("manualConnections"), list);
            s.setValue(QStringLiteral("groups"),
                       QVariantMap{{QStringLiteral("Edit Suites"), QStringList{"127.0.0.7", "127.0.0.4", "127.0.0.8"}},
                                   {QStringLiteral("Finishing"), QStringList{"127.0.0.6", "127.0.0.3"}},
                                   {QStringLiteral("Spare"), QStringList()}});
            s.setValue(QStringLiteral("expandedGroups"), QStringList{"Edit Suites", "Finishing"});
        }
        auto w = openWindow();
        QVERIFY(w);
        auto *d = w->discovery();
        const auto ip = [d](const char *a) { return d->serviceWithManualIP(QString::fromLatin1(a)); };
        for (const char *a : {"127.0.0.1", "127.0.0.6", "127.0.0.7", "127.0.0.8"})
            QTRY_VERIFY_WITH_TIMEOUT(ip(a)->isConnected() && !ip(a)->isProcessing(), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!ip("127.0.0.2")->isProcessing() && !ip("127.0.0.3")->isProcessing(), 60000);
        QVERIFY(ip("127.0.0.5")->isProcessing());
        ip("127.0.0.7")->setNeedsMaintenance(true); // spanner, group badge 1
        ip("127.0.0.6")->setErrorCode(2006);        // error look
        ip("127.0.0.8")->setEnabled(false);         // greyed
        w->outlineModel()->reload();
        w->outlineView()->selectionModel()->select(w->outlineModel()->indexForItem({nullptr, ip("127.0.0.1")}),
                                                   QItemSelectionModel::ClearAndSelect);
        if (w->taskList()->count() > 0)
            w->taskList()->setCurrentRow(0);

        const QString dir = QStringLiteral(KESTRA_SCREENSHOT_DIR);
        QVERIFY(QDir().mkpath(dir));
        const QImage shot = w->grab().toImage();
        QVERIFY(!shot.isNull());
        QVERIFY(shot.save(dir + QStringLiteral("/main-window.png")));
        QVERIFY(w->outlineView()->grab().save(dir + QStringLiteral("/computer-list.png")));

        // The context menu of the computer asking for maintenance: it selects that row alone.
        auto *view = w->outlineView();
        const QModelIndex edit03 = w->outlineModel()->indexForItem({nullptr, ip("127.0.0.7")});
        const QPoint at = view->visualRect(edit03).center();
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view->viewport(), &menuEvent);
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::activePopupWidget(), 10000);
        QCOMPARE(view->selectionModel()->selectedRows(), QModelIndexList{edit03});
        QVERIFY(w->cancelMaintenanceAction()->isEnabled());
        QVERIFY(QApplication::activePopupWidget()->grab().save(dir + QStringLiteral("/context-menu.png")));
        QApplication::activePopupWidget()->close();
        ZDService::setConfigurationTimeout(20000);
    }
};

QTEST_MAIN(TestZDMainWindow)
#include "tst_zdmainwindow.moc"
