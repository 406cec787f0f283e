// The console's windows on the offscreen platform: the main window and its computer list against a real
// agent (sorting, groups, keys, moves by drag data and hostile payloads, removal, tool tips, unreadable
// settings, persistence across restarts, the welcome sheet, the context menu, hostile names shown as
// text, the shared list pieces); the sheets and secondary windows against fake agents on loopback, the
// real error queue, real files in a sandbox and the session's keyring; and the logic behind them
// without widgets. Screenshots of the main ones go to <build>/screenshots.
#include "console/ZDAdminDefaults.h"
#include "console/ZDAdminSettings.h"
#include "dispatch/ZDAutoRefresh.h"
#include "ZDAlert.h"
#include "files/ZDArchive.h"
#include "console/ZDClientSettings.h"
#include "console/ZDComputerInfo.h"
#include "computers/ZDComputerInfoPanel.h"
#include "windows/ZDCredentialSheet.h"
#include "dispatch/ZDCredentialStore.h"
#include "fleet/ZDDiscovery.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "windows/ZDErrorLogWindow.h"
#include "ZDFakeAgent.h"
#include "ZDFakeComputers.h"
#include "ZDFreePort.h"
#include "ZDItemViews.h"
#include "rights/ZDKeychain.h"
#include "fleet/ZDLargeIconCache.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "console/ZDLogGathering.h"
#include "windows/ZDLogViewer.h"
#include "windows/ZDMainWindow.h"
#include "windows/ZDManualConnectionSheet.h"
#include "ZDPlainText.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "rpc/ZDRemoteError.h"
#include "console/ZDRemoteLogText.h"
#include "fleet/ZDServiceOutline.h"
#include "computers/ZDServiceOutlineModel.h"
#include "computers/ZDServiceOutlineView.h"
#include "ZDTestHttpServer.h"
#include "ZDTestSandbox.h"
#include "windows/ZDTroubleshooter.h"
#include "console/ZDTroubleshooting.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCborArray>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableWidget>
#include <QToolButton>
#include <QToolTip>
#include <QTreeWidget>
#include <QtTest>
#include <QWidget>

#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

const QString kUser = QStringLiteral("admin");
const QString kPassword = QStringLiteral("s3cret-sheets");

// The visible message box whose text is title, if any.
QMessageBox *visibleAlert(const QString &title)
{
    for (QWidget *w : QApplication::allWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (box && box->isVisible() && box->text() == title)
            return box;
    }
    return nullptr;
}

// Waits for the alert titled so, answers it (its default button or closed), and
// gives its informative text; "<none>" when none came.
QString takeAlert(const QString &title, bool accept = false)
{
    QMessageBox *box = nullptr;
    if (!QTest::qWaitFor([&] { return (box = visibleAlert(title)); }, 10000))
        return QStringLiteral("<none>");
    const QString text = box->informativeText();
    accept ? box->defaultButton()->click() : box->done(0);
    return text;
}

void closeAlerts()
{
    for (QWidget *w : QApplication::allWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            box->done(0);
    }
}

void screenshot(QWidget *widget, const QString &name)
{
    const QString dir = QStringLiteral(KESTRA_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    QVERIFY(widget->grab().save(dir + u'/' + name + QStringLiteral(".png")));
}


QAbstractButton *buttonTitled(QMessageBox *box, const QString &title)
{
    for (QAbstractButton *b : box->buttons())
        if (b->text() == title)
            return b;
    return nullptr;
}

} // namespace

// Receives the end of an alert that nobody waits for.
class EndReceiver : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void sheetEnded(ZDAlert *alert, int returnCode)
    {
        endedAlert = alert;
        code = returnCode;
        onMainThread = QThread::currentThread() == qApp->thread();
        ++calls;
    }
    ZDAlert *endedAlert = nullptr;
    int code = 99;
    bool onMainThread = false;
    int calls = 0;
};

// Takes the list pieces' bound key slot.
class Receiver : public QObject
{
    Q_OBJECT
public:
    int removed = 0;
public Q_SLOTS:
    void removeItems() { ++removed; }
};

class TestSheets : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    QString m_settingsPath;
    QString m_passwordFile;
    std::shared_ptr<ZDErrorCallback> m_errorCallback;
    zdtest::FakeComputers m_computers;
    std::vector<ZDFakeTaskAgent> &m_agents = m_computers.agents;
    QList<ZDServicePtr> &m_services = m_computers.services;
    std::unique_ptr<ZDDispatcher> m_dispatcher;
    QStringList callsOf(int i) const { return m_computers.callsOf(i); }
    std::unique_ptr<QWidget> m_window; // the alert cases' window, made on first use
    QWidget *window()
    {
        if (!m_window) {
            m_window = std::make_unique<QWidget>();
            m_window->resize(400, 300);
            m_window->show();
            if (!QTest::qWaitForWindowExposed(m_window.get()))
                return nullptr;
        }
        return m_window.get();
    }
    QMessageBox *shownAlert() const
    {
        QMessageBox *found = nullptr;
        for (QMessageBox *box : m_window ? m_window->findChildren<QMessageBox *>() : QList<QMessageBox *>())
            if (box->isVisible())
                found = box;
        return found;
    }
    // The program's own settings, named after the executable outside an application folder.
    static QString ownSettings()
    {
        return ZDLocalPaths::prefsDirectory(true) + u"/admin_gui_tst_zdsheets.plist"_s;
    }
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
    std::unique_ptr<ZDTestSandbox> m_box;
    QString m_settings;
    ZDRealAgent m_agent;
    quint16 m_agentPort = 0;

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_zdsheets"));
        m_settingsPath = m_sandbox->path(QStringLiteral("admin.ini"));
        m_passwordFile = m_sandbox->path(QStringLiteral("agent-password"));
        QVERIFY(ZDTestSandbox::writeFile(m_passwordFile, kPassword.toUtf8()));
        m_errorCallback = std::make_shared<ZDErrorCallback>();
        m_errorCallback->setSettingsPath(m_settingsPath);
        QVERIFY(m_computers.start(QStringLiteral("sheets"), 2, kUser, m_passwordFile, m_errorCallback));
        m_dispatcher = std::make_unique<ZDDispatcher>([this] { return m_services; });
        m_dispatcher->setErrorCallback(m_errorCallback.get(), false);
        QVERIFY2(ZDRealAgent::exists(), qPrintable(ZDRealAgent::program()));
        m_agentPort = zdtest::freePort();
        QVERIFY(m_agent.start(m_agentPort));
    }
    void cleanupTestCase()
    {
        closeAlerts();
        m_dispatcher.reset();
        ZDService::invalidateServices(m_services, false);
        m_services.clear();
        m_agents.clear();
        ZDKeychain::deleteAllKeychainItems(QString::fromLatin1(ZDCredentialStore::kKeychainName),
                                           QString::fromLatin1(ZDCredentialStore::kKeychainKind));
    }
    // Each case a sandbox of its own, and a console settings file with the real agent and three missing computers.
    void init()
    {
        m_box = std::make_unique<ZDTestSandbox>();
        // This case's console has a key of its own: the real agent enrols it too.
        QVERIFY(ZDRealAgent::enrollConsole(m_agent.root()));
        m_settings = m_box->path(QStringLiteral("home/.config/com.zendrel.KestraAdmin.ini"));
        m_box->setEnv("KESTRA_ADMIN_SETTINGS", m_settings.toUtf8());
        QSettings s(m_settings, QSettings::IniFormat);
        s.setValue(QStringLiteral("firstRun"), false);
        // Distinct loopback addresses: a manual computer's host key is its address.
        s.setValue(QStringLiteral("manualConnections"),
                   QVariantList{entry(QStringLiteral("Ingest"), QStringLiteral("127.0.0.1"), m_agentPort),
                                entry(QStringLiteral("alpha bay"), QStringLiteral("127.0.0.2"), zdtest::freePort()),
                                entry(QStringLiteral("Color"), QStringLiteral("127.0.0.3"), zdtest::freePort()),
                                entry(QStringLiteral("mix stage"), QStringLiteral("127.0.0.4"), zdtest::freePort())});
    }
    void cleanup()
    {
        closeAlerts();
        m_window.reset();
        m_box.reset();
    }
    void manualConnectionEnablesConnect()
    {
        // The rules are the discovery's, tested there: here that the sheet applies them as one types.
        ZDDiscovery discovery(m_errorCallback, m_settingsPath);
        ZDManualConnectionSheet sheet(&discovery);
        for (const auto &[ip, port, enabled] : {std::tuple{"10.0.0.1", "35011", true}, {"010.0.0.1", "35011", false},
                                                {"10.0.0.1", "1024", false}}) {
            sheet.showSheet();
            QVERIFY(!sheet.connectButton()->isEnabled());
            // Typed one key at a time: the check runs on every change.
            QTest::keyClicks(sheet.nameField(), QStringLiteral("Edit 1"));
            QTest::keyClicks(sheet.addressField(), QLatin1String(ip));
            QTest::keyClicks(sheet.portField(), QLatin1String(port));
            QVERIFY2(sheet.connectButton()->isEnabled() == enabled, ip);
            sheet.portField()->clear();
            QVERIFY(!sheet.connectButton()->isEnabled());
        }
    }
    void manualConnectionDuplicateAlert()
    {
        const QString port = QString::number(zdtest::freePort());
        ZDDiscovery discovery(m_errorCallback, m_settingsPath);
        ZDManualConnectionSheet sheet(&discovery);
        QSignalSpy added(&sheet, &ZDManualConnectionSheet::connectionAdded);
        sheet.showSheet();
        sheet.nameField()->setText(QString(256, QLatin1Char('n'))); // the field does not even take 256 characters
        QCOMPARE(sheet.nameField()->text().size(), 255);
        sheet.nameField()->setText(QStringLiteral("First"));
        sheet.addressField()->setText(QStringLiteral("127.0.0.1"));
        sheet.portField()->setText(port);
        QTest::mouseClick(sheet.connectButton(), Qt::LeftButton);
        QCOMPARE(added.count(), 1);
        QVERIFY(!sheet.isVisible());
        // Same address and port, another name: refused on the sheet, which stays.
        sheet.showSheet();
        sheet.nameField()->setText(QStringLiteral("Second"));
        sheet.addressField()->setText(QStringLiteral("127.0.0.1"));
        sheet.portField()->setText(port);
        QTest::mouseClick(sheet.connectButton(), Qt::LeftButton);
        QCOMPARE(takeAlert(QStringLiteral("Connection already exists")),
                 QStringLiteral("There is already a service with this IP address and port."));
        QVERIFY(sheet.isVisible());
        QCOMPARE(added.count(), 1);
        QCOMPARE(discovery.manualConnections().size(), 1);
        QVERIFY(discovery.removeManualConnection(QStringLiteral("First")));
    }
    void credentialSheetFromWorker()
    {
        // The keychain box starts on, and then as the person last left it.
        {
            ZDCredentialSheet first(nullptr, m_settingsPath);
            QVERIFY(first.keychainBox()->isChecked());
            first.keychainBox()->click();
            QVERIFY(!first.keychainBox()->isChecked());
            QVERIFY(!ZDCredentialSheet(nullptr, m_settingsPath).keychainBox()->isChecked());
        }
        ZDCredentialSheet sheet;
        ZDCredentialPrompt::Request request;
        request.service = m_services[0];
        request.hostName = m_services[0]->hostName();
        request.displayName = QStringLiteral("Edit Suite 3");
        request.suggestedUser = QStringLiteral("editor");
        // Asked from a worker through the prompt the dispatcher is given; the worker waits for the person.
        const std::shared_ptr<ZDCredentialPrompt> prompt = sheet.prompt();
        ZDCredentialPrompt::Answer answer;
        std::atomic<bool> done{false};
        std::thread worker;
        const auto ask = [&] {
            done = false;
            worker = std::thread([&] {
                answer = prompt->ask(request);
                done = true;
            });
        };
        const auto answered = [&] {
            const bool ok = QTest::qWaitFor([&] { return done.load(); }, 10000);
            worker.join();
            return ok;
        };
        ask(); // OK with both boxes on.
        QVERIFY(QTest::qWaitFor([&] { return sheet.isAsking() && sheet.isVisible(); }, 10000));
        QCOMPARE(sheet.messageText(), QStringLiteral("Edit Suite 3"));
        QCOMPARE(sheet.userField()->text(), QStringLiteral("editor"));
        QVERIFY(sheet.passwordField()->text().isEmpty());
        QCOMPARE(sheet.passwordField()->echoMode(), QLineEdit::Password);
        sheet.userField()->setText(kUser);
        QTest::keyClicks(sheet.passwordField(), kPassword);
        sheet.applyToAllBox()->setChecked(true);
        sheet.keychainBox()->setChecked(true);
        sheet.resize(sheet.sizeHint().expandedTo(QSize(420, 0)));
        screenshot(&sheet, QStringLiteral("credentials-sheet"));
        QVERIFY(!done.load());
        QTest::mouseClick(sheet.okButton(), Qt::LeftButton);
        QVERIFY(answered());
        QCOMPARE(answer.result, ZDCredentialPrompt::Result::OK);
        QCOMPARE(answer.user, kUser);
        QCOMPARE(answer.password, kPassword);
        QVERIFY(answer.applyToAll);
        QVERIFY(answer.keepInKeychain);
        QVERIFY(!sheet.isVisible());
        QVERIFY(sheet.passwordField()->text().isEmpty());
        // Skip, without a host: the general text.
        request.displayName.clear();
        request.hostName.clear();
        sheet.keychainBox()->setChecked(false);
        ask();
        QVERIFY(QTest::qWaitFor([&] { return sheet.isAsking(); }, 10000));
        QCOMPARE(sheet.messageText(), QString::fromLatin1(ZDCredentialSheet::kNoHostText));
        QTest::mouseClick(sheet.skipButton(), Qt::LeftButton);
        QVERIFY(answered());
        QCOMPARE(answer.result, ZDCredentialPrompt::Result::Skip);
        // Cancel; and a refused answer brings the alert up.
        request.displayName = QStringLiteral("Edit Suite 3");
        request.previousRefused = true;
        ask();
        QCOMPARE(takeAlert(QStringLiteral("Invalid username or password")),
                 QStringLiteral("Please enter a valid admin username and password for Edit Suite 3."));
        QTest::mouseClick(sheet.cancelButton(), Qt::LeftButton);
        QVERIFY(answered());
        QCOMPARE(answer.result, ZDCredentialPrompt::Result::Cancel);
        QVERIFY(answer.password.isEmpty());
        // Asking on the GUI thread would freeze the window: refused at once.
        QCOMPARE(sheet.ask(request).result, ZDCredentialPrompt::Result::Cancel);
    }
    void credentialPromptOutlivesSheet()
    {
        std::shared_ptr<ZDCredentialPrompt> prompt;
        {
            ZDCredentialSheet sheet;
            prompt = sheet.prompt();
        }
        ZDCredentialPrompt::Answer answer;
        answer.result = ZDCredentialPrompt::Result::OK;
        zdtest::offMain([&] { answer = prompt->ask(ZDCredentialPrompt::Request{}); });
        QCOMPARE(answer.result, ZDCredentialPrompt::Result::Cancel);
    }
    void errorLogWindow()
    {
        m_errorCallback->clearErrorQueue();
        ZDErrorLogWindow window(m_errorCallback.get());
        QSignalSpy updates(&window, &ZDErrorLogWindow::checkForUpdatesRequested);
        window.show();
        QCOMPARE(window.table()->rowCount(), 0);
        QVERIFY(!window.uploadButton()->isEnabled());
        QVERIFY(m_errorCallback->addErrorToQueue(ZDRemoteError(QStringLiteral("orvDomain"), 2006),
                                                 QStringLiteral("edit-1.local.")));
        QVERIFY(m_errorCallback->addErrorToQueue(ZDRemoteError(QStringLiteral("orvDomain"), 1005),
                                                 QStringLiteral("render-2.local.")));
        QVERIFY(m_errorCallback->addStringToQueue(QStringLiteral("Unable to get log x - file doesn't exist."),
                                                  QStringLiteral("edit-3.virtual.")));
        QVERIFY(QTest::qWaitFor([&] { return window.table()->rowCount() == 3; }, 5000));
        const auto columnTexts = [&](int column) {
            QStringList out;
            for (int r = 0; r < window.table()->rowCount(); ++r)
                out << window.table()->item(r, column)->text();
            return out;
        };
        // Newest first, friendly host names, the update button only where the code asks for it.
        QCOMPARE(columnTexts(ZDErrorLogWindow::HostColumn), QStringList({"edit-3", "render-2", "edit-1"}));
        QCOMPARE(window.table()->item(2, ZDErrorLogWindow::DescriptionColumn)->text(),
                 QStringLiteral("Kestra Client is outdated on this machine. Please install a more recent version."));
        QVERIFY(!window.table()->cellWidget(0, ZDErrorLogWindow::ActionColumn));
        QVERIFY(!window.table()->cellWidget(1, ZDErrorLogWindow::ActionColumn));
        auto *button = qobject_cast<QPushButton *>(window.table()->cellWidget(2, ZDErrorLogWindow::ActionColumn));
        QVERIFY(button);
        QCOMPARE(button->text(), QStringLiteral("Check for Updates"));
        button->click();
        QCOMPARE(updates.count(), 1);
        QVERIFY(window.highlightError(1005, QStringLiteral("render-2.local.")));
        QCOMPARE(window.table()->currentRow(), 1);
        // Header clicks sort by every column and are kept for the next window.
        QHeaderView *header = window.table()->horizontalHeader();
        const auto clickHeader = [&](int column) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                              QPoint(header->sectionViewportPosition(column) + 4, header->height() / 2));
        };
        clickHeader(ZDErrorLogWindow::HostColumn);
        QCOMPARE(columnTexts(ZDErrorLogWindow::HostColumn), QStringList({"edit-1", "edit-3", "render-2"}));
        QVERIFY(window.highlightError(1005, QStringLiteral("render-2.local.")));
        QCOMPARE(window.table()->currentRow(), 2);
        clickHeader(ZDErrorLogWindow::HostColumn);
        QCOMPARE(columnTexts(ZDErrorLogWindow::HostColumn), QStringList({"render-2", "edit-3", "edit-1"}));
        QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
        clickHeader(ZDErrorLogWindow::DescriptionColumn);
        QStringList descriptions = columnTexts(ZDErrorLogWindow::DescriptionColumn);
        QVERIFY(!descriptions.at(0).startsWith(u"Unable") && descriptions.at(2).startsWith(u"Unable"));
        clickHeader(ZDErrorLogWindow::DateColumn);
        {
            QSettings settings(m_settingsPath, QSettings::IniFormat);
            QCOMPARE(settings.value(QStringLiteral("errorLogTableSortedColumn")).toString(), QStringLiteral("date"));
            QCOMPARE(settings.value(QStringLiteral("errorLogTableSortedDescending")).toBool(), false);
        }
        clickHeader(ZDErrorLogWindow::HostColumn);
        ZDErrorLogWindow again(m_errorCallback.get());
        QCOMPARE(again.rows(), window.rows());
        QCOMPARE(again.table()->horizontalHeader()->sortIndicatorSection(), int(ZDErrorLogWindow::HostColumn));
        window.resize(900, 300);
        screenshot(&window, QStringLiteral("error-log-sorted"));
        QVERIFY(window.uploadButton()->isEnabled());
        window.clearButton()->click();
        QVERIFY(QTest::qWaitFor([&] { return window.table()->rowCount() == 0; }, 5000));
        QCOMPARE(m_errorCallback->errorCount(), 0);
    }
    void errorLogUpload()
    {
        ZDTestHttpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        {
            QSettings settings(m_settingsPath, QSettings::IniFormat);
            settings.setValue(QLatin1String(ZDErrorCallback::kUploadServerSetting),
                              QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()));
        }
        ZDErrorLogWindow window(m_errorCallback.get());
        QSignalSpy ended(&window, &ZDErrorLogWindow::uploadEnded);
        window.show();
        QVERIFY(m_errorCallback->addStringToQueue(QStringLiteral("something broke"), QStringLiteral("edit-1.local.")));
        QVERIFY(QTest::qWaitFor([&] { return window.table()->rowCount() == 1; }, 5000));
        QVERIFY(window.uploadButton()->isEnabled());
        window.uploadButton()->click();
        // Counted, not waited for: the alert comes up inside the signal's delivery.
        QVERIFY(QTest::qWaitFor([&] { return ended.count() == 1; }, 30000));
        QCOMPARE(ended.first().first().value<ZDErrorCallback::UploadResult>(), ZDErrorCallback::UploadResult::Uploaded);
        QCOMPARE(takeAlert(QStringLiteral("Data successfully uploaded")),
                 QStringLiteral("Thank you for submitting this data. We will use it to improve future versions of "
                                "this software."));
        QCOMPARE(window.table()->rowCount(), 0);
        // Anything but "OK" is a failure, shown as such.
        server.answer = "OK\n";
        QVERIFY(m_errorCallback->addStringToQueue(QStringLiteral("again"), QStringLiteral("edit-1.local.")));
        QVERIFY(QTest::qWaitFor([&] { return window.uploadButton()->isEnabled(); }, 5000));
        window.uploadButton()->click();
        QVERIFY(QTest::qWaitFor([&] { return ended.count() == 2; }, 30000));
        QCOMPARE(ended.last().first().value<ZDErrorCallback::UploadResult>(), ZDErrorCallback::UploadResult::Rejected);
        QVERIFY(visibleAlert(QStringLiteral("Upload failed")));
        QCOMPARE(server.requests, 2);
    }
    void troubleshooter()
    {
        QList<ZDServicePtr> listed = m_services;
        // A computer nobody answers for.
        const ZDServicePtr lost = ZDService::serviceWithName(QStringLiteral("Lost Mac"), QString(), QStringLiteral("127.0.0.1"),
                                                             zdtest::freePort(), m_errorCallback);
        listed << lost;
        ZDTroubleshooter window([&] { return listed; });
        for (const ZDServicePtr &s : std::as_const(m_services))
            s->setErrorCode(0);
        window.showConnectionTroubleshooter();
        QCOMPARE(window.serviceList()->count(), 3);
        QCOMPARE(window.serviceList()->currentRow(), 2);
        // Entered by hand: advice about its address, none about DNS-SD.
        QVERIFY(window.text().startsWith(
            QStringLiteral("Kestra Admin was unable to connect to this computer, entered by hand")));
        m_services[1]->setErrorCode(2008);
        window.showConnectionTroubleshooter();
        QCOMPARE(window.serviceList()->currentRow(), 1);
        QVERIFY(window.text().startsWith(QStringLiteral("The connection to the service timed out.")));
        QVERIFY(window.text().contains(QStringLiteral("If any clients are missing from the list")));
        window.resize(820, 480);
        screenshot(&window, QStringLiteral("troubleshooter"));
        window.serviceList()->setCurrentRow(0);
        QVERIFY(window.text().startsWith(QStringLiteral("Service is connected. No connection issues were found.")));
        m_services[1]->setErrorCode(0);
        // All fine: nothing selected.
        listed = m_services;
        window.showConnectionTroubleshooter();
        QVERIFY(window.serviceList()->selectedItems().isEmpty());
        window.troubleshootConnection(m_services[1]);
        QCOMPARE(window.serviceList()->currentRow(), 1);
        listed.clear();
        window.showConnectionTroubleshooter();
        QVERIFY(window.text().startsWith(QStringLiteral("Services could not be found. Please try the following:")));
        lost->invalidate(false);
    }
    void computerInfoPanel()
    {
        ZDComputerInfoPanel panel(m_dispatcher.get());
        QSignalSpy loaded(&panel, &ZDComputerInfoPanel::infoLoaded);
        panel.showInfo(m_services[0]);
        QCOMPARE(panel.windowTitle(), QStringLiteral("Info for ") + m_services[0]->name());
        QCOMPARE(panel.address(), QStringLiteral("127.0.0.1:%1").arg(m_agents[0].port));
        QCOMPARE(panel.state(), QStringLiteral("Connected"));
        QVERIFY(loaded.wait(30000));
        QVERIFY2(panel.text().startsWith(QStringLiteral("Client version: 1.1 (1100)\nKestra Maintenance Tools version: "
                                                        "1.0 (1000)\n")),
                 qPrintable(panel.text()));
        QVERIFY(panel.text().contains(QStringLiteral("host: ") + m_agents[0].host + u'\n'));
        QVERIFY(panel.text().contains(QStringLiteral("model: FakeBook\n")));
    }
    void logViewer()
    {
        ZDLogViewer viewer(m_dispatcher.get(), [this] { return m_services; });
        QSignalSpy names(&viewer, &ZDLogViewer::logNamesLoaded);
        QSignalSpy texts(&viewer, &ZDLogViewer::logTextLoaded);
        viewer.showLogs(m_services[1]);
        QCOMPARE(viewer.sourcePopUp()->count(), 2);
        QCOMPARE(viewer.sourcePopUp()->currentIndex(), 1);
        QVERIFY(names.wait(30000));
        QCOMPARE(viewer.logFilenames().size(), 3);
        viewer.logList()->setCurrentRow(0);
        QVERIFY(texts.wait(30000));
        QCOMPARE(viewer.text(), QStringLiteral("text of KestraClient.1.log"));
        // A huge answer shows only its bounded tail.
        viewer.changeLog(QStringLiteral("huge.log"));
        QVERIFY(texts.wait(60000));
        QVERIFY(viewer.text().startsWith(ZDRemoteLogText::truncationNotice(ZDRemoteLogText::kMaxShownCharacters)));
        QVERIFY(viewer.text().size() <= ZDRemoteLogText::kMaxShownCharacters + 100);
        // Binary data is not shown at all.
        viewer.changeLog(QStringLiteral("binary.log"));
        QVERIFY(texts.wait(30000));
        QVERIFY(viewer.text().isEmpty());
        QVERIFY(callsOf(1).contains(QStringLiteral("logWithFilename: binary.log")));
    }
    void gatherNetworkLogs()
    {
        const QString desktop = m_sandbox->path(QStringLiteral("Desktop"));
        const QString logs = m_sandbox->path(QStringLiteral("gather-logs"));
        QDir().mkpath(desktop);
        QDir().mkpath(logs + QStringLiteral("/Zendrel"));
        QVERIFY(ZDTestSandbox::writeFile(logs + QStringLiteral("/Zendrel/Kestra Admin.1.log"), "admin"));
        ZDLogViewer viewer(m_dispatcher.get(), [this] { return m_services; });
        viewer.setGatheringFolders(m_sandbox->path(QStringLiteral("tmp")), desktop, logs);
        QSignalSpy gathered(&viewer, &ZDLogViewer::logsGathered);
        m_dispatcher->setSelectionProvider(nullptr);
        viewer.gatherButton()->click();
        QVERIFY(gathered.wait(60000));
        const auto outcome = gathered.first().first().value<ZDLogGathering::Outcome>();
        QVERIFY(outcome.success);
        QVERIFY(visibleAlert(QStringLiteral("Logs gathered successfully")));
        const QString out = m_sandbox->path(QStringLiteral("gathered"));
        QVERIFY(ZDArchive::extractZip(desktop + QStringLiteral("/ZD_Log_Dump.zip"), out).ok);
        for (const ZDFakeTaskAgent &agent : m_agents) {
            const QString host = agent.host + u'.';
            QCOMPARE(ZDTestSandbox::readFile(out + QStringLiteral("/ZD_Log_Dump/") + host + QStringLiteral("/log/")
                                             + agent.host),
                     QByteArray("log"));
        }
        QCOMPARE(ZDTestSandbox::readFile(out + QStringLiteral("/ZD_Log_Dump/Kestra Admin.1.log")), QByteArray("admin"));
    }
    void gatherLocalLogsWithoutLogs()
    {
        const QString desktop = m_sandbox->path(QStringLiteral("Desktop-empty"));
        QDir().mkpath(desktop);
        ZDLogViewer viewer(m_dispatcher.get(), [this] { return m_services; });
        viewer.setGatheringFolders(m_sandbox->path(QStringLiteral("tmp")), desktop,
                                   m_sandbox->path(QStringLiteral("no-logs")));
        QSignalSpy gathered(&viewer, &ZDLogViewer::logsGathered);
        viewer.gatherLogs();
        QVERIFY(QTest::qWaitFor([&] { return gathered.count() == 1; }, 30000));
        QCOMPARE(takeAlert(QStringLiteral("No logs found")), QStringLiteral("There were no logs available to gather."));
        QVERIFY(!QFile::exists(desktop + QStringLiteral("/ZD_Log_Dump.zip")));
        QVERIFY(!viewer.viewLog(true));
        QCOMPARE(takeAlert(QStringLiteral("No log found")),
                 QStringLiteral("The background helper task hasn't been triggered yet."));
        QVERIFY(!viewer.viewLog(false));
        QCOMPARE(takeAlert(QStringLiteral("No log found")), QStringLiteral("Please start a task to generate a log."));
    }
    // The console's own menu items, each through its confirmation to its result.
    void housekeepingMenus()
    {
        ZDMainWindow window({m_settingsPath, false});
        const auto trigger = [&](const QString &text) {
            const auto actions = window.findChildren<QAction *>();
            const auto it = std::find_if(actions.begin(), actions.end(), [&](QAction *a) { return a->text() == text; });
            QVERIFY2(it != actions.end(), qPrintable(text));
            (*it)->trigger();
        };
        const auto answer = [](const QString &title, bool accept) {
            QVERIFY2(takeAlert(title, accept) != QStringLiteral("<none>"), qPrintable(title));
        };
        // The caches as the console writes them go to the Trash, with their restore records.
        const ZDLargeIconCache icons;
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && QImage(64, 64, QImage::Format_RGB32).save(&buffer, "PNG"));
        QVERIFY(icons.storeIcon(QStringLiteral("x.local."), png));
        const QString state = ZDAdminSettings::stateDirectory();
        QVERIFY(QDir().mkpath(state));
        trigger(QStringLiteral("Clear Caches..."));
        answer(QStringLiteral("Are you sure you wish to clear caches?"), true);
        answer(QStringLiteral("Caches successfully cleaned"), false);
        QVERIFY(!QFile::exists(icons.path()) && !QFile::exists(state)); // both are the console's caches
        const QString trash = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Trash/");
        const QString name = QFileInfo(icons.path()).dir().dirName();
        QVERIFY(QFile::exists(trash + QStringLiteral("files/") + name + u'/' + QFileInfo(icons.path()).fileName()));
        QVERIFY(QFileInfo(trash + QStringLiteral("files/") + QFileInfo(state).fileName()).isDir());
        const QByteArray info = ZDTestSandbox::readFile(trash + QStringLiteral("info/") + name + ".trashinfo");
        QVERIFY2(info.startsWith("[Trash Info]\nPath=") && info.contains("DeletionDate="), info.constData());
        trigger(QStringLiteral("Clear Caches..."));
        answer(QStringLiteral("Are you sure you wish to clear caches?"), true);
        answer(QStringLiteral("No caches to clean"), false);
        // Every stored password of the console goes; another program's item stays.
        ZDCredentialStore &store = window.dispatcher()->credentialStore();
        const QString tag = QString::number(QCoreApplication::applicationPid());
        const QStringList hosts{QStringLiteral("pw-a-") + tag, QStringLiteral("pw-b-") + tag};
        const QString other = QStringLiteral("Other Program ") + tag, kind = QStringLiteral("Host password");
        for (const QString &host : hosts)
            QVERIFY(store.storeKeychainPassword(kUser, kPassword, host));
        QVERIFY(ZDKeychain::addKeychainItem(other, kind, kUser, QStringLiteral("theirs"), hosts[0]));
        trigger(QStringLiteral("Remove Stored Passwords..."));
        answer(QStringLiteral("Are you sure you wish to remove all stored passwords?"), true);
        for (const QString &host : hosts)
            QTRY_VERIFY_WITH_TIMEOUT(store.keychainPassword(kUser, host).isNull(), 10000);
        QCOMPARE(ZDKeychain::getPasswordFromKeychainItem(other, kind, kUser, hosts[0]), QStringLiteral("theirs"));
        QVERIFY(ZDKeychain::deleteAllKeychainItems(other, QString()));
        trigger(QStringLiteral("View Task Log"));
        answer(QStringLiteral("No log found"), false);
        trigger(QStringLiteral("Gather Logs"));
        answer(QStringLiteral("No logs found"), false);
    }
    // Each state its own advice (the windows' tests check the openings); what a person acts on, checked here.
    void troubleshooterTexts()
    {
        QStringList texts;
        for (const int code : {0, 2001, 2006, 2007, 2008, 1234})
            texts << ZDTroubleshooting::textForState({true, code});
        texts << ZDTroubleshooting::textForState({false, 2008}) << ZDTroubleshooting::textForNoService();
        QCOMPARE(QSet<QString>(texts.cbegin(), texts.cend()).size(), texts.size());
        for (int i = 0; i < 6; ++i) // connected: the missing-clients advice comes last
            QVERIFY(texts[i].endsWith(ZDTroubleshooting::missingClientsAdvice()));
        QVERIFY(texts[5].startsWith(QStringLiteral("Unknown error code 1234.")));
        QVERIFY(texts[6].contains(QStringLiteral("Also try opening 35011, which is the fallback port")));
        QVERIFY(texts[6].contains(QStringLiteral("\n\n10. Report the issue")) && !texts[6].contains(QStringLiteral("\n\n11.")));
        QVERIFY(texts[7].contains(QStringLiteral("\n\n11. Report the issue")));
        QVERIFY(ZDTroubleshooting::commonAdviceItem(0).isEmpty());
        QVERIFY(ZDTroubleshooting::commonAdviceItem(12).isEmpty());
    }
    // The advice speaks of this desktop only.
    void troubleshooterTextsInLinuxTerms()
    {
        QStringList texts{ZDTroubleshooting::textForState({false, 0}), ZDTroubleshooting::textForNoService()};
        for (const int code : {0, 2001, 2006, 2007, 2008, 77})
            texts << ZDTroubleshooting::textForState({true, code});
        for (const QString &text : std::as_const(texts))
            for (const char *word : {"System Preferences", "Finder", "Library/", "Airport", "ctrl-click", "Dock",
                                     "Command", "\u2318", "Mac", "Bonjour", "prefPane", ".app"})
                QVERIFY2(!text.contains(QString::fromUtf8(word)), word);
    }
    // Mixed values shown mixed, left alone unless clicked, a click turning them on: the settings panel's
    // test against a real and a fake agent. Here the answers no agent should give.
    void clientSettingsUntrustedAnswers()
    {
        const QVariantMap answers{
            {QStringLiteral("a."), QVariantMap{{QStringLiteral("autoUpdateCheck"), QStringLiteral("1")},
                                               {QStringLiteral("showMenuBarIcon"), 7},
                                               {QStringLiteral("globalUpdateCheck"), 0.5}}},
            {QStringLiteral("b."), QStringLiteral("not a dictionary")},
            {QStringLiteral("c."), QVariantMap{{QStringLiteral("enableMaintenanceRequests"), true}}}};
        const ZDClientSettings s = ZDClientSettings::merged(answers);
        QCOMPARE(s.state(QStringLiteral("autoUpdateCheck")), ZDClientSettings::kUnknown);
        QCOMPARE(s.state(QStringLiteral("showMenuBarIcon")), ZDClientSettings::kUnknown);
        QCOMPARE(s.state(QStringLiteral("globalUpdateCheck")), ZDClientSettings::kUnknown);
        QCOMPARE(s.state(QStringLiteral("enableMaintenanceRequests")), 1);
        // Unknown values are never written.
        const QVariantMap sent = s.settingsToSend();
        QCOMPARE(sent.value(QStringLiteral("autoUpdateCheck")).toInt(), -1);
        QCOMPARE(sent.value(QStringLiteral("enableMaintenanceRequests")).toInt(), 1);
        QCOMPARE(ZDClientSettings::merged({}).state(QStringLiteral("autoUpdateCheck")), ZDClientSettings::kUnknown);
    }
    void remoteLogTextBounds()
    {
        QCOMPARE(ZDRemoteLogText::textForAnswer(QStringLiteral("line\n\tmore\r\n")).text,
                 QStringLiteral("line\n\tmore\r\n"));
        QVERIFY(!ZDRemoteLogText::textForAnswer(QByteArray("\x00\x01", 2)).isText);
        QVERIFY(!ZDRemoteLogText::textForAnswer(QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b"))).isText);
        QVERIFY(!ZDRemoteLogText::textForAnswer(QString(QChar(0xfffd))).isText);
        QVERIFY(!ZDRemoteLogText::textForAnswer(QVariantMap()).isText);
        QVERIFY(!ZDRemoteLogText::textForAnswer(QVariant()).isText);
        QString huge(ZDRemoteLogText::kMaxShownCharacters + 5000, QLatin1Char('x'));
        huge += QStringLiteral("THE END");
        const ZDRemoteLogText::Shown shown = ZDRemoteLogText::textForAnswer(huge);
        QVERIFY(shown.isText);
        QVERIFY(shown.truncated);
        QVERIFY(shown.text.endsWith(QStringLiteral("THE END")));
        QVERIFY(shown.text.startsWith(ZDRemoteLogText::truncationNotice(ZDRemoteLogText::kMaxShownCharacters)));
        QCOMPARE(shown.text.size(),
                 ZDRemoteLogText::truncationNotice(ZDRemoteLogText::kMaxShownCharacters).size()
                     + ZDRemoteLogText::kMaxShownCharacters);
    }
    void remoteLogNames()
    {
        QVariantList answer{QStringLiteral("/home/u/.local/state/log/Zendrel/KestraClient.1.log"), 42, QString(),
                            QString(QStringLiteral("bad") + QChar(u'\n')), QString(5000, QLatin1Char('a'))};
        QCOMPARE(ZDRemoteLogText::namesForAnswer(answer),
                 QStringList{QStringLiteral("/home/u/.local/state/log/Zendrel/KestraClient.1.log")});
        QVERIFY(ZDRemoteLogText::namesForAnswer(QStringLiteral("x")).isEmpty());
        QVariantList many;
        for (int i = 0; i < 3000; ++i)
            many << QStringLiteral("log%1").arg(i);
        QCOMPARE(ZDRemoteLogText::namesForAnswer(many).size(), ZDRemoteLogText::kMaxNames);
    }
    void gatheringDestinations()
    {
        const QString f = QStringLiteral("/w");
        QCOMPARE(ZDLogGathering::destinationFor(f, QStringLiteral("h.local."), QStringLiteral("/var/log/x.log")),
                 QStringLiteral("/w/h.local./var/log/x.log"));
        QVERIFY(ZDLogGathering::destinationFor(f, QStringLiteral("h"), QStringLiteral("/../../etc/passwd")).isEmpty());
        QVERIFY(ZDLogGathering::destinationFor(f, QStringLiteral("h"), QStringLiteral("a/./b")).isEmpty());
        QVERIFY(ZDLogGathering::destinationFor(f, QStringLiteral(".."), QStringLiteral("x")).isEmpty());
        QVERIFY(ZDLogGathering::destinationFor(f, QStringLiteral("a/b"), QStringLiteral("x")).isEmpty());
        QVERIFY(ZDLogGathering::destinationFor(f, QStringLiteral("h"), QStringLiteral("/")).isEmpty());
    }
    void gatheringNetworkLogs()
    {
        ZDTestSandbox sandbox;
        const QString desktop = sandbox.path(QStringLiteral("Desktop"));
        const QString logs = sandbox.path(QStringLiteral("logs"));
        QDir().mkpath(desktop);
        QDir().mkpath(logs + QStringLiteral("/Zendrel"));
        QVERIFY(ZDTestSandbox::writeFile(logs + QStringLiteral("/Zendrel/Kestra Admin.1.log"), "admin log"));
        QVERIFY(ZDTestSandbox::writeFile(logs + QStringLiteral("/Zendrel/Other.1.log"), "not ours"));
        const QString outside = sandbox.path(QStringLiteral("escaped"));
        const QVariantMap files{
            {QStringLiteral("a.local."),
             QVariantMap{{QStringLiteral("/var/log/Zendrel/KestraClient.1.log"), QByteArray("client log")},
                         {QStringLiteral("/../../../escaped"), QByteArray("evil")},
                         {QStringLiteral("/not/data"), QVariantMap()}}},
            {QStringLiteral("../b"), QVariantMap{{QStringLiteral("/x.log"), QByteArray("evil")}}},
            {QStringLiteral("c.local."), QStringLiteral("not a dictionary")}};
        ZDLogGathering gathering(sandbox.path(QStringLiteral("tmp")), desktop, logs);
        const ZDLogGathering::Outcome outcome = gathering.gatherNetwork(files);
        QVERIFY(outcome.success);
        QCOMPARE(outcome.text, QStringLiteral("The gathered logs were placed on your desktop."));
        // The refused files are reported one by one; the good one is written.
        QCOMPARE(outcome.fileErrors.size(), 3);
        QVERIFY(outcome.fileErrors.first().startsWith(QStringLiteral("The file ")));
        QVERIFY(outcome.fileErrors.first().endsWith(QStringLiteral(" could not be created.")));
        QVERIFY(!QFile::exists(outside));
        QVERIFY(!QDir(gathering.workFolder()).exists());
        const QString out = sandbox.path(QStringLiteral("out"));
        QVERIFY(ZDArchive::extractZip(outcome.archivePath, out).ok);
        const QString dump = out + QStringLiteral("/ZD_Log_Dump/");
        QCOMPARE(ZDTestSandbox::readFile(dump + QStringLiteral("a.local./var/log/Zendrel/KestraClient.1.log")),
                 QByteArray("client log"));
        QVERIFY(!QFile::exists(out + QStringLiteral("/ZD_Log_Dump/Other.1.log")));
        QVERIFY(!QFile::exists(out + QStringLiteral("/escaped")));
    }
    void computerInfoTexts()
    {
        // A connected computer's title, address, versions and state: the panel's window test.
        QCOMPARE(ZDComputerInfo::addressText(QString(), 35011), QString());
        QCOMPARE(ZDComputerInfo::versionText({}),
                 QStringLiteral("Client version: Unknown\nKestra Maintenance Tools is not installed\n\n"));
        const QVariantMap specs{{QStringLiteral("zeta"), QStringLiteral("z")},
                                {QStringLiteral("Alpha"), QStringLiteral("a")},
                                {QStringLiteral("beta"), QString()},
                                {QStringLiteral("memory"), 16},
                                {QStringLiteral("nested"), QVariantMap()},
                                {QStringLiteral("long"), QString(5000, QLatin1Char('l'))}};
        const QString text = ZDComputerInfo::specsText(specs);
        QVERIFY(text.startsWith(QStringLiteral("Alpha: a\nlong: ")));
        QVERIFY(text.endsWith(QStringLiteral("memory: 16\nzeta: z\n")));
        QVERIFY(text.size() < 1200);
        QVERIFY(ZDComputerInfo::specsText(QStringLiteral("x")).isEmpty());
        QVERIFY(ZDComputerInfo::stateText(true, 2006).endsWith(
            QStringLiteral("Kestra Client is outdated on this machine. Please install a more recent version.")));
    }
    void largeIconCache()
    {
        ZDTestSandbox sandbox;
        const ZDLargeIconCache cache(sandbox.path(QStringLiteral("cache/icons.plist")));
        QVERIFY(cache.cachedIcon(QStringLiteral("a.local.")).isEmpty());
        QVERIFY(!cache.storeIcon(QStringLiteral("a.local."), QByteArray("not an image")));
        QVERIFY(!cache.storeIcon(QString(), QByteArray("x")));
        QImage image(300, 300, QImage::Format_ARGB32);
        image.fill(Qt::blue);
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG"));
        QVERIFY(cache.storeIcon(QStringLiteral("a.local."), png));
        const QImage cached = QImage::fromData(cache.cachedIcon(QStringLiteral("a.local.")));
        QCOMPARE(cached.size(), QSize(48, 48));
        QVERIFY(cache.cachedIcon(QStringLiteral("b.local.")).isEmpty());
    }
    // The console window and its computer list against a real agent.
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
    // Each task's automatic refresh as registered when it is shown; only listing panels repeat.
    void taskRefreshIntervals()
    {
        auto w = openWindow();
        QVERIFY(w);
        const QHash<QString, int> repeating{{QStringLiteral("Quellar"), 300},
                                            {QStringLiteral("Pro Applications"), 30},
                                            {QStringLiteral("Kestra Maintenance Tools"), 30},
                                            {QStringLiteral("Qmaster"), 60}};
        QListWidget *tasks = w->taskList();
        QStringList seen;
        for (int i = 0; i < tasks->count(); ++i) {
            tasks->setCurrentRow(i);
            const QString name = tasks->item(i)->data(ZDMainWindow::kTaskNameRole).toString();
            const int seconds = repeating.value(name, 0);
            QVERIFY2(w->autoRefresh()->interval() == std::chrono::seconds(seconds), qPrintable(name));
            QVERIFY2(w->autoRefresh()->isTimerActive() == (seconds > 0), qPrintable(name));
            seen << name;
        }
        for (auto it = repeating.cbegin(); it != repeating.cend(); ++it)
            QVERIFY2(seen.contains(it.key()), qPrintable(it.key()));
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
        // Each by its own key: the address and the port.
        const QStringList keys = stored.value(QStringLiteral("Edit Bays")).toStringList();
        QCOMPARE(keys.size(), 2);
        QVERIFY2(keys.first().startsWith(QStringLiteral("manual:127.0.0.3:")) && keys.last().startsWith(QStringLiteral("manual:127.0.0.2:")),
                 qPrintable(keys.join(u' ')));
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
        QCOMPARE(b->hostNames(), QStringList{mix->groupKey()});
        QCOMPARE(mix->groupKey(), u"manual:127.0.0.4:%1"_s.arg(mix->port()));
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
        QCOMPARE(names(w->outline()->groupWithName(QStringLiteral("Good"))->children()), QStringList{"Color"});
        // The stored address became the computer's own key, and is saved so.
        const QString key = w->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.3"))->groupKey();
        QCOMPARE(w->outline()->groupWithName(QStringLiteral("Good"))->hostNames(), QStringList{key});
        QCOMPARE(QSettings(m_settings, QSettings::IniFormat).value(QStringLiteral("groups")).toMap().value(QStringLiteral("Good")).toStringList(),
                 QStringList{key});
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
        const QString file = m_box->path(QStringLiteral("defaults.ini"));
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
        // A computer entered by hand gets advice about its address, not DNS-SD; the window is wholly on screen.
        ZDTroubleshooter *t = w->findChild<ZDTroubleshooter *>();
        QVERIFY2(t->text().startsWith(QStringLiteral("Kestra Admin was unable to connect to this computer, entered by hand")),
                 qPrintable(t->text()));
        QVERIFY(!t->text().contains(QStringLiteral("Bonjour")) && !t->text().contains(QStringLiteral("discovered")));
        QVERIFY2(t->screen()->availableGeometry().contains(t->geometry()),
                 qPrintable(u"%1,%2 %3x%4 / %5,%6 %7x%8"_s.arg(t->screen()->availableGeometry().x()).arg(t->screen()->availableGeometry().y())
                                .arg(t->screen()->availableGeometry().width()).arg(t->screen()->availableGeometry().height())
                                .arg(t->geometry().x()).arg(t->geometry().y()).arg(t->geometry().width()).arg(t->geometry().height())));
        // Retry connects: the agent comes up on alpha's address and port. Disconnected on purpose
        // first, so that no retry of the console's own can be what connects it.
        alpha->disconnect();
        ZDRealAgent alphaAgent;
        QVERIFY(alphaAgent.startAlone(quint16(alpha->port()), "alpha-bay"));
        t->retryButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(alpha->isConnected(), 30000);
        // The next start of the console does not open it by itself again.
        w.reset();
        auto again = openWindow();
        QVERIFY(again);
        const ZDServicePtr color = again->discovery()->serviceWithManualIP(QStringLiteral("127.0.0.3"));
        QTRY_VERIFY_WITH_TIMEOUT(!color->isProcessing() && !color->isConnected(), 60000);
        QCoreApplication::processEvents();
        QVERIFY(!again->findChild<ZDTroubleshooter *>());
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
    // Markup from an agent in any tool tip (an item's, a widget's) shows as text: an <img> naming a device
    // file must not be loaded. One filter on the application does it, whatever set the tip.
    void toolTipsFromAgentsArePlain()
    {
        const QString evil = QStringLiteral("<img src=\"/dev/zero\"><b>bay</b>");
        ZDMainWindow w({m_settings, false});
        w.resize(900, 600);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // An item's tip, as the crash log and scheduler panels set them from what agents send.
        QTreeWidget tree(&w);
        tree.setGeometry(0, 0, 300, 200);
        auto *item = new QTreeWidgetItem(&tree, {QStringLiteral("log")});
        item->setToolTip(0, evil);
        tree.show();
        QWidget *viewport = tree.viewport();
        const QPoint at = tree.visualItemRect(item).center();
        QHelpEvent onRow(QEvent::ToolTip, at, viewport->mapToGlobal(at));
        QApplication::sendEvent(viewport, &onRow);
        QTRY_VERIFY(QToolTip::isVisible());
        QVERIFY2(!QToolTip::text().contains(QLatin1String("<img")), qPrintable(QToolTip::text()));
        QVERIFY(QToolTip::text().contains(QLatin1String("&lt;img")));
        QToolTip::hideText();
        QTRY_VERIFY(!QToolTip::isVisible());
        // A widget's own tip, set by any panel: the same.
        QWidget plain(&w);
        plain.setGeometry(0, 0, 40, 40);
        plain.setToolTip(evil);
        plain.show();
        QHelpEvent onWidget(QEvent::ToolTip, QPoint(5, 5), plain.mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(&plain, &onWidget);
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), Qt::convertFromPlainText(evil, Qt::WhiteSpaceNormal));
        QToolTip::hideText();
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
    // The foundation's alerts, on a window of their own.
    // Asked from a worker thread: made on the main thread as a window-modal dialog on the window, the answer
    // goes to the waiting worker (the other buttons' answers are checked on the main thread below).
    void answersFromWorkerThread()
    {
        QVERIFY(window()); // shown before anything waits on the event loop
        std::atomic<int> answer{99};
        std::atomic<bool> done{false};
        QWidget *parent = window();
        std::thread worker([&] {
            answer = ZDAlert::alertSheet(u"Save changes?"_s, u"Save"_s, u"Cancel"_s, u"Discard"_s,
                                         u"Your edits are kept."_s, parent, true);
            done = true;
        });
        QTRY_VERIFY(shownAlert() != nullptr);
        QMessageBox *box = shownAlert();
        QCOMPARE(box->thread(), qApp->thread());
        QCOMPARE(box->windowModality(), Qt::WindowModal);
        QCOMPARE(box->text(), u"Save changes?"_s);
        QCOMPARE(box->informativeText(), u"Your edits are kept."_s);
        QCOMPARE(box->defaultButton(), buttonTitled(box, u"Save"_s));
        QVERIFY(!done);
        QTest::mouseClick(buttonTitled(box, u"Discard"_s), Qt::LeftButton);
        QTRY_VERIFY(done);
        worker.join();
        QCOMPARE(answer.load(), -1);
        QTRY_VERIFY(shownAlert() == nullptr);
    }
    // Waiting on the main thread keeps its events flowing: timers fire and work queued
    // from other threads runs until the answer comes.
    void mainThreadKeepsRunningWhileWaiting()
    {
        QVERIFY(window()); // shown before anything waits on the event loop
        int ticks = 0;
        std::atomic<bool> queuedRan{false};
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, this, [&] {
            if (++ticks == 1)
                std::thread([&queuedRan, this] {
                    QMetaObject::invokeMethod(this, [&queuedRan] { queuedRan = true; }, Qt::QueuedConnection);
                }).detach();
            QMessageBox *box = shownAlert();
            if (box && ticks >= 5 && queuedRan)
                QTest::mouseClick(buttonTitled(box, u"Later"_s), Qt::LeftButton);
        });
        ticker.start(0);
        const int answer = ZDAlert::alertSheet(u"Update now?"_s, u"Update"_s,
                                               u"Later"_s, QString(), QString(), window(), true);
        ticker.stop();
        QCOMPARE(answer, 0);
        QVERIFY(ticks >= 5);
        QVERIFY(queuedRan);
        QVERIFY(shownAlert() == nullptr);
    }
    // Without titles: the platform's OK as the only button, empty texts.
    void defaultsAndTimedAlert()
    {
        QVERIFY(window()); // shown before anything waits on the event loop
        QTimer::singleShot(0, this, [this] {
            QMessageBox *box = shownAlert();
            QVERIFY(box);
            QCOMPARE(box->buttons().size(), 1);
            QCOMPARE(box->buttons().first(), box->button(QMessageBox::Ok));
            QCOMPARE(box->informativeText(), QString());
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        QCOMPARE(ZDAlert::alertSheet(u"Done"_s, QString(), window()), 1);
        // A timed alert left alone answers with the default; answered earlier it gives the answer.
        QCOMPARE(ZDAlert::timedAlertSheet(u"Restarting"_s, u"Now"_s, u"Wait"_s,
                                          QString(), QString(), window(), 1), 1);
        QVERIFY(shownAlert() == nullptr);
        QTimer::singleShot(0, this, [this] {
            QMessageBox *box = shownAlert();
            QVERIFY(box);
            QTest::mouseClick(buttonTitled(box, u"Wait"_s), Qt::LeftButton);
        });
        QCOMPARE(ZDAlert::timedAlertSheet(u"Restarting"_s, u"Now"_s, u"Wait"_s,
                                          QString(), QString(), window(), 3600), 0);
    }
    // Not waiting: -1 at once, and the delegate's end operation gets the answer on the main thread.
    void delegateAndSuppressionBox()
    {
        QVERIFY(window()); // shown before anything waits on the event loop
        QVERIFY(ZDPropertyList::writeFile(ownSettings(), QVariantMap{{u"other"_s, u"kept"_s}}));
        EndReceiver receiver;
        auto alert = std::make_shared<ZDAlert>();
        std::atomic<int> immediate{99};
        std::thread worker([&] {
            immediate = ZDAlert::alertSheet(u"Remove all passwords?"_s, u"Remove"_s,
                                            u"Cancel"_s, u"Help"_s, QString(), window(),
                                            &receiver, "sheetEnded", false, alert, u"SuppressRemoveWarning"_s);
        });
        // The worker needs the main thread to show the dialog.
        QTRY_COMPARE(immediate.load(), -1);
        worker.join();
        QMessageBox *box = shownAlert();
        QVERIFY(box);
        QCOMPARE(alert->alert(), box);
        // The check box writes its key as it changes, keeping the other settings.
        QVERIFY(box->checkBox());
        QVERIFY(!box->checkBox()->isChecked());
        QTest::mouseClick(box->checkBox(), Qt::LeftButton);
        QCOMPARE(ZDPropertyList::readDictionary(ownSettings()), (QVariantMap{{u"other"_s, u"kept"_s},
                              {u"SuppressRemoveWarning"_s, true}}));
        QTest::mouseClick(box->checkBox(), Qt::LeftButton);
        QCOMPARE(ZDPropertyList::readDictionary(ownSettings()).value(u"SuppressRemoveWarning"_s), QVariant(false));
        QTest::mouseClick(box->checkBox(), Qt::LeftButton);
        QTest::mouseClick(buttonTitled(box, u"Help"_s), Qt::LeftButton);
        QTRY_COMPARE(receiver.calls, 1);
        QCOMPARE(receiver.code, -1);
        QCOMPARE(receiver.endedAlert, alert.get());
        QVERIFY(receiver.onMainThread);
        QVERIFY(alert->alertEnded());
        QCOMPARE(alert->returnCode(), -1);
        // The binding shows the stored value the next time.
        alert = std::make_shared<ZDAlert>();
        ZDAlert::alertSheet(u"Remove all passwords?"_s, u"Remove"_s, QString(), QString(),
                            QString(), window(), &receiver, "sheetEnded", false, alert,
                            u"SuppressRemoveWarning"_s);
        QVERIFY(alert->alert() && alert->alert()->checkBox()->isChecked());
        QTest::mouseClick(buttonTitled(alert->alert(), u"Remove"_s), Qt::LeftButton);
        QTRY_COMPARE(receiver.calls, 2);
        QCOMPARE(receiver.code, 1);
        // A delegate without the end operation is refused: -1 and nothing shown.
        QTRY_VERIFY(shownAlert() == nullptr);
        QCOMPARE(ZDAlert::alertSheet(u"Hello"_s, QString(), QString(), QString(), QString(),
                                     window(), &receiver, "noSuchMethod", true), -1);
        QVERIFY(shownAlert() == nullptr);
        QCOMPARE(receiver.calls, 2);
    }
    // The window going away answers a waiting caller with -1 instead of leaving it waiting.
    void windowClosedWhileWaiting()
    {
        QVERIFY(window()); // shown before anything waits on the event loop
        QTimer::singleShot(0, this, [this] {
            QVERIFY(shownAlert());
            m_window.reset();
        });
        QCOMPARE(ZDAlert::alertSheet(u"Hello"_s, u"OK"_s, QString(), QString(), QString(), window(), true), -1);
    }
};

QTEST_MAIN(TestSheets)
#include "tst_zdsheets.moc"
