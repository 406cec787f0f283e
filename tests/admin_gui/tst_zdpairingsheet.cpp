// The Pair... sheet against a real agent (a session user's) and root's pairing
// window: the sheet shows the code root is shown, then "Paired." once root said
// yes, and the computer is then reached as one that enrolled this console.
#include "ZDRealAgent.h"
#include "ZDRootPairingWindow.h"
#include "ZDTestSandbox.h"
#include "dispatch/ZDErrorCallback.h"
#include "fleet/ZDService.h"
#include "windows/ZDPairingSheet.h"

#include <QLabel>
#include <QPointer>
#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

class TestPairingSheet : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_console;

private Q_SLOTS:
    void sheetShowsCodeAndVerdict()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built");
        if (::geteuid() != 0)
            QSKIP("the pairing window and the trust file are root's");
        ZDRealAgent agent;
        agent.setEnrollsConsole(false);
        agent.setRunAs(u"nobody"_s, u"nogroup"_s);
        QVERIFY2(agent.start(ZDRealAgent::freePort()), qPrintable(agent.output()));
        ZDRootPairingWindow window(agent.root(), 5);
        QVERIFY2(window.waitFor(u"Pairing window open"_s), qPrintable(window.output()));
        const ZDServicePtr service = ZDService::serviceWithName(u"Bay <b>7</b>"_s, {}, u"127.0.0.1"_s, agent.port(),
                                                                std::make_shared<ZDErrorCallback>());
        QTRY_VERIFY_WITH_TIMEOUT(service->isSettled(), 30000);
        QVERIFY(!service->mayReceiveCredentials());
        const QPointer<ZDPairingSheet> sheet = ZDPairingSheet::open(service, nullptr);
        QVERIFY(sheet);
        QCOMPARE(sheet->codeLabel()->textFormat(), Qt::PlainText);
        QVERIFY2(window.waitFor(u"Pair? [y/N]"_s), qPrintable(window.output()));
        QTRY_COMPARE(sheet->codeLabel()->text(), u"Pairing code: "_s + window.shownCode());
        QVERIFY(sheet->resultLabel()->text().isEmpty());
        window.answer("y\n");
        QTRY_COMPARE_WITH_TIMEOUT(sheet->resultLabel()->text(), u"Paired."_s, 30000);
        QCOMPARE(window.exitCode(), 0);
        // Reached again, now as an enrolled console.
        QTRY_VERIFY_WITH_TIMEOUT(service->mayReceiveCredentials(), 30000);
        sheet->close();
        QTRY_VERIFY(!sheet);
        service->disconnect();
    }
};

QTEST_MAIN(TestPairingSheet)
#include "tst_zdpairingsheet.moc"
