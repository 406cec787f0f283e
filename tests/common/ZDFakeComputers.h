#pragma once
// Fake task agents on loopback and the console's connected records for them, as
// the dispatcher and the windows that drive it see several computers.
#include "dispatch/ZDErrorCallback.h"
#include "ZDFakeAgent.h"
#include "fleet/ZDService.h"
#include "ZDTestThreads.h"

#include <QCoreApplication>
#include <QTest>

#include <vector>

namespace zdtest {

struct FakeComputers
{
    std::vector<ZDFakeTaskAgent> agents;
    QList<ZDServicePtr> services;
    // count agents named prefix-pid-i that take user with the password in passwordFile,
    // each with a record connected and configured; false when one does not come up.
    bool start(const QString &prefix, int count, const QString &user, const QString &passwordFile,
               const std::shared_ptr<ZDErrorCallback> &errors)
    {
        const QString tag = QString::number(QCoreApplication::applicationPid());
        for (int i = 0; i < count; ++i) {
            ZDFakeTaskAgent agent(QStringLiteral("%1-%2-%3").arg(prefix, tag).arg(i));
            if (!agent.start(user, passwordFile))
                return false;
            services << ZDService::serviceWithName(agent.host, QString(), QStringLiteral("127.0.0.1"), agent.port, errors);
            agents.push_back(std::move(agent));
        }
        for (const ZDServicePtr &s : std::as_const(services))
            if (!QTest::qWaitFor([&] { return s->isConnected() && !s->hostName().isEmpty(); }, 30000))
                return false;
        return true;
    }
    // What agent i was asked so far, straight from it: the dispatcher's gate must not hide it.
    QStringList callsOf(int i) const
    {
        QVariant calls;
        offMain([&] {
            try {
                if (const ZDRemoteProxyPtr proxy = services[i]->proxyObject())
                    calls = proxy->call(QStringLiteral("fakeCalls"));
            } catch (const std::exception &) {
            }
        });
        return calls.toStringList();
    }
};

} // namespace zdtest
