// Markup in a computer's typed name and its agent's host name: every label then shown is plain text or escaped.
#include "ZDAlert.h"
#include "ZDCredentialSheet.h"
#include "ZDDispatcher.h"
#include "ZDFakeAgent.h"
#include "ZDMainWindow.h"
#include "ZDPlainText.h"
#include "ZDServiceOutlineModel.h"
#include "ZDServiceOutlineView.h"
#include "ZDTestSandbox.h"

#include <QLabel>
#include <QToolTip>
#include <QtTest>

#include <thread>

class TestZDHostileText : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void hostileNamesAreShownAsText()
    {
        ZDTestSandbox box;
        const QString settings = box.path(QStringLiteral("admin.ini")), evil = QStringLiteral("<img src=\"/dev/zero\"><b>bay</b>");
        ZDFakeTaskAgent agent(QStringLiteral("<h1>bay</h1>"));
        QVERIFY(agent.start());
        QSettings(settings, QSettings::IniFormat).setValue(QStringLiteral("manualConnections"), QVariantList{QVariantMap{
            {QStringLiteral("name"), evil}, {QStringLiteral("ip"), QStringLiteral("127.0.0.1")}, {QStringLiteral("port"), agent.port}}});
        ZDMainWindow w({settings, false});
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
};

QTEST_MAIN(TestZDHostileText)
#include "tst_zdhostiletext.moc"
