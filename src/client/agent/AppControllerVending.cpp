// Vending the root object on the network, the registered name, DNS-SD
// publishing, reconnection, and the machine-local callback connection.
#include "agent/AppController.h"

#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientPreferences.h"
#include "agent/ZDAgentSecurity.h"
#include "link/ZDConnectionServer.h"
#include "dnssd/ZDDNSSDPublisher.h"
#include "log/ZDException.h"
#include "bus/ZDLocalCallbackServer.h"
#include "log/ZDLog.h"
#include "platform/ZDMachineModel.h"
#include "rpc/ZDOrvContract.h"
#include "rpc/ZDOrvProtocol.h"
#include "process/ZDThreads.h"

#include <QThread>
#include <QTimer>

#include <cstdio>
#include <memory>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>

namespace {
const QString kNameFailure = QStringLiteral(
    "Failed to register name - make sure there are no other copies of this application running on this computer.");
const QString kCallbackNameFailure = QStringLiteral("Failed to register callback name - make sure there are no other "
                                                    "copies of this application running on this computer.");

void printLine(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}
} // namespace

QString AppController::makePdoName(const QString &hostName, const QString &uuidPrefix)
{
    return (uuidPrefix + QLatin1String(ZDOrv::kRegisteredNamePrefix) + hostName).left(ZDOrv::kMaxRegisteredNameLength);
}

QVariantMap AppController::networkInterfaceWithMACAddress(const QString &mac)
{
    const QString wanted = mac.trimmed();
    if (wanted.isEmpty())
        return {};
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return {};
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    QString name;
    for (const ifaddrs *a = list; a && name.isEmpty(); a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET || !a->ifa_name)
            continue;
        const auto *link = reinterpret_cast<const sockaddr_ll *>(a->ifa_addr);
        if (link->sll_halen == 0 || link->sll_halen > sizeof link->sll_addr)
            continue;
        QStringList octets;
        for (int i = 0; i < link->sll_halen; ++i)
            octets << QStringLiteral("%1").arg(link->sll_addr[i], 2, 16, QLatin1Char('0'));
        // Hardware addresses differ only in letter case between tools.
        if (octets.join(QLatin1Char(':')).compare(wanted, Qt::CaseInsensitive) == 0)
            name = QString::fromLocal8Bit(a->ifa_name);
    }
    if (name.isEmpty())
        return {};
    QVariantMap record{{QStringLiteral("name"), name}, {QStringLiteral("macAddress"), mac},
                       {QStringLiteral("bsdName"), name}};
    for (const ifaddrs *a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || QString::fromLocal8Bit(a->ifa_name) != name)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr, text, sizeof text)) {
            record.insert(QStringLiteral("ip4Address"), QString::fromLatin1(text));
            break;
        }
    }
    return record;
}

void AppController::startVendingOnPort(int port)
{
    setStatusBarDisconnected();
    ZDLog::appendLog(QStringLiteral("Starting vending..."));
    ZDLog::appendLog(QStringLiteral("Creating port..."));

    QVariantMap iface;
    QString address = m_options.listenAddress;
    if (address.isEmpty()) {
        iface = networkInterfaceWithMACAddress(
            m_prefs->objectForPreferenceDictionaryKey(QStringLiteral("selectedMACAddress")).toString());
        address = iface.value(QStringLiteral("ip4Address")).toString();
    }
    {
        const std::lock_guard<std::mutex> lock(m_stateMutex);
        m_listenBSDName = iface.value(QStringLiteral("bsdName")).toString();
        m_listenIPAddress.clear();
    }

    if (m_server)
        m_server->close();
    m_server = std::make_unique<ZDConnectionServer>(ZDAgentSecurity::listenerOptions());
    m_server->setRootObject(m_root);
    const quint64 generation = ++m_vendGeneration;
    m_server->setListenFailedHandler([this, generation](const QString &) {
        // The accepting thread cannot tear its own server down; the server logged why.
        ZDThreads::post(this, [this, generation] { listenerFailed(generation); });
    });
    QString error;
    bool listening = false;
    if (address.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Listening on any address."));
        if (port != 0)
            ZDLog::appendLog(QStringLiteral("Listening on port %i."), port);
        listening = m_server->listen(QString(), quint16(port), &error);
    } else {
        {
            const std::lock_guard<std::mutex> lock(m_stateMutex);
            m_listenIPAddress = address;
        }
        ZDLog::appendLog(QStringLiteral("Attempting to listen on address %@:%i with interface %@"), address, port,
                         iface.value(QStringLiteral("name")).toString());
        listening = m_server->listen(address, quint16(port), &error, 10);
    }
    if (!listening)
        ZDLog::appendLog(QStringLiteral("Error - unable to create socket port."));
    m_listenPortNumber = port;

    if (!listening) {
        ZDLog::appendLog(QStringLiteral("Error: unable to get socket."));
    } else if (port == 0) {
        // The server's socket reuses its address; no write of ours raises SIGPIPE.
        m_listenPortNumber = m_server->port();
        ZDLog::appendLog(QStringLiteral("Listening on port %i."), m_listenPortNumber.load());
    }

    ZDLog::appendLog(QStringLiteral("Creating connection..."));
    if (!listening) {
        m_server.reset();
        updateStatus(QStringLiteral("Unable to connect. Retrying in 10 seconds..."));
        printLine(QStringLiteral("Unable to create connection. Retrying in 10 seconds..."));
        reconnectAfter(kFailureReconnectDelay);
        return;
    }

    QString name = pdoName();
    if (name.isEmpty())
        name = makePdoName(hostName() + m_options.nameSuffix);
    ZDLog::appendLog(QStringLiteral("Registering name %@"), name);
    if (!m_nameRegistry.registerName(name)) {
        ZDLog::appendLogAndPrint(kNameFailure);
        name = makePdoName(hostName() + m_options.nameSuffix, ZDClientPreferences::generateUUID());
        ZDLog::appendLog(QStringLiteral("Registering name %@"), name);
        if (!m_nameRegistry.registerName(name)) {
            ZDLog::appendLogAndPrint(kNameFailure);
            {
                const std::lock_guard<std::mutex> lock(m_stateMutex);
                m_pdoName = name; // the UUID name is kept for later attempts
            }
            m_server.reset();
            reconnectAfter(kFailureReconnectDelay);
            return;
        }
    }
    {
        const std::lock_guard<std::mutex> lock(m_stateMutex);
        m_pdoName = name;
    }
    m_server->setRegisteredName(name);

    const QString ip = [this] {
        const std::lock_guard<std::mutex> lock(m_stateMutex);
        return m_listenIPAddress;
    }();
    if (!ip.isEmpty())
        updateStatus(zdFormat(QStringLiteral("Listening on %@:%i"), ip, m_listenPortNumber.load()));
    else
        updateStatus(zdFormat(QStringLiteral("Listening on port %i"), m_listenPortNumber.load()));
    m_isConnected = true;
    setStatusBarConnected();
}

void AppController::listenerFailed(quint64 generation)
{
    if (generation != m_vendGeneration || !m_server)
        return; // that listener is gone already
    ZDLog::appendLogAndPrint(QStringLiteral("Connection died. Cleaning up..."));
    if (m_isQuitting)
        stopService();
    else
        reconnectAfter(kFailureReconnectDelay);
}

void AppController::stopVending()
{
    try {
        setStatusBarDisconnected();
        ZDLog::appendLog(QStringLiteral("Stopping vending..."));
        if (m_server) {
            m_server->close();
            m_server.reset();
        }
        m_nameRegistry.withdraw();
        m_isConnected = false;
    } catch (const std::exception &e) {
        std::printf("Exception in %s: %s - %s\n", "stopVending", qPrintable(ZDException::nameOf(e)),
                    qPrintable(ZDException::reasonOf(e)));
    }
}

void AppController::publishService()
{
    const int listenPort = m_listenPortNumber.load();
    const int port = listenPort >= ZDOrv::kMinPort && listenPort <= ZDOrv::kMaxPort ? listenPort
                                                                                     : ZDOrv::kDefaultBonjourPort;
    QVariantMap txt;
    const QString model = ZDMachineModel::identifier();
    if (!model.isEmpty())
        txt.insert(QLatin1String(ZDOrv::kTxtModel), model);
    if (ZDAgentSecurity::requiresEnrolledConsoles())
        txt.insert(QLatin1String(ZDOrv::kTxtSecure), QStringLiteral("1"));
    else
        txt.insert(QLatin1String(ZDOrv::kTxtOpen), QStringLiteral("1"));
    QString bsdName;
    {
        const std::lock_guard<std::mutex> lock(m_stateMutex);
        if (!m_listenIPAddress.isEmpty())
            txt.insert(QLatin1String(ZDOrv::kTxtIp), m_listenIPAddress);
        if (!m_pdoName.isEmpty())
            txt.insert(QLatin1String(ZDOrv::kTxtName), m_pdoName);
        bsdName = m_listenBSDName;
    }
    if (!m_publisher) {
        m_publisher = new ZDDNSSDPublisher(this);
        connect(m_publisher, &ZDDNSSDPublisher::failed, this,
                [this](ZDDNSSDPublisher::Error error, const QString &message) {
                    netServiceDidNotPublish(int(error), message);
                });
    }
    if (!bsdName.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Broadcasting on interface %@."), bsdName);
        const int index = ZDDNSSDPublisher::interfaceIndex(bsdName);
        if (index > 0)
            m_publisher->publish(QString(), quint16(port), txt, index);
        return; // an unknown interface publishes nothing
    }
    ZDLog::appendLog(QStringLiteral("Broadcasting on any interface."));
    ZDLog::appendLog(QStringLiteral("Publishing..."));
    m_publisher->publish(QString(), quint16(port), txt);
}

void AppController::netServiceDidNotPublish(int error, const QString &message)
{
    // A missing or restarting daemon is waited for by the publisher itself;
    // cycling the whole service for it would only churn.
    const auto kind = ZDDNSSDPublisher::Error(error);
    if (kind == ZDDNSSDPublisher::Error::DaemonNotRunning || kind == ZDDNSSDPublisher::Error::Disconnected) {
        static std::atomic<bool> logged{false};
        if (!logged.exchange(true))
            ZDLog::appendLog(QStringLiteral("DNS-SD daemon not available: %@"), message);
        return;
    }
    updateStatus(QStringLiteral("Failed to publish. Retrying in 10 seconds..."));
    printLine(zdFormat(QStringLiteral("Failed to publish: %@"), message));
    reconnectAfter(kFailureReconnectDelay);
}

void AppController::reconnectWithTimeInterval(double seconds)
{
    if (m_isQuitting || m_willReconnect.exchange(true))
        return;
    // Single flight: the teardown now, the restart from a timer of the main
    // thread, so no thread sleeps through the delay.
    ZDThreads::post(this, [this, seconds] {
        try {
            updateStatus(QStringLiteral("Disconnecting..."));
            stopService();
            const long whole = long(seconds);
            updateStatus(zdFormat(QStringLiteral("Reconnecting in %ld seconds..."), qint64(whole)));
            printLine(zdFormat(QStringLiteral("Reconnecting in %d seconds..."), qint64(whole)));
            m_reconnectTimer->disconnect();
            connect(m_reconnectTimer, &QTimer::timeout, this, [this] {
                m_willReconnect = false;
                if (!m_isQuitting)
                    startService();
            });
            m_reconnectTimer->start(int(whole * 1000));
        } catch (const std::exception &e) {
            ZDException::logException(e, "reconnectOnThread:");
            m_willReconnect = false;
        }
    });
}

// ---- the machine-local callback connection ---------------------------------

void AppController::startCallbackVending()
{
    m_callbackRetryTimer->stop();
    delete m_callbackServer;
    m_callbackServer = nullptr;
    ZDLog::appendLog(QStringLiteral("Starting vending callback..."));
    ZDLog::appendLog(QStringLiteral("Creating callback port..."));
    auto *server = new ZDLocalCallbackServer(QString::fromLatin1(ZDLocalCallbackServer::kServiceName), this);
    addErrorCallbackObjOperations(*server);
    ZDLog::appendLog(QStringLiteral("Creating callback connection..."));
    m_callbackServer = server;
    ZDLog::appendLog(QStringLiteral("Registering callback name..."));
    switch (server->start()) {
    case ZDLocalCallbackServer::Status::Registered:
        return;
    case ZDLocalCallbackServer::Status::NameOccupied:
        ZDLog::appendLogAndPrint(kCallbackNameFailure);
        printLine(zdFormat(QStringLiteral("Name occupied by %@"), server->occupant()));
        break;
    default:
        ZDLog::appendLogAndPrint(QStringLiteral("Unable to create callback connection. Retrying in 10 seconds..."));
        break;
    }
    reconnectCallbackWithTimeInterval(double(kFailureReconnectDelay.count()));
}

void AppController::stopCallbackVending()
{
    ZDLog::appendLog(QStringLiteral("Stopping callback vending..."));
    m_callbackRetryTimer->stop();
    if (m_callbackServer) {
        m_callbackServer->stop();
        delete m_callbackServer;
        m_callbackServer = nullptr;
    }
}

void AppController::reconnectCallbackWithTimeInterval(double seconds)
{
    stopCallbackVending();
    if (!m_isQuitting)
        m_callbackRetryTimer->start(int(seconds * 1000));
}

void AppController::addErrorCallbackObjOperations(ZDLocalCallbackServer &server)
{
    // The maker's tools on this computer report here; they run on the main thread.
    // Their arguments are checked against the operation contract first.
    const auto serve = [&server](const char *name, ZDLocalCallbackServer::Operation operation) {
        const ZDOrv::Operation *op = ZDOrv::find(ZDOrv::Side::Local, name);
        if (!op)
            return;
        server.addOperation(QLatin1String(name), op->argumentCount(),
                            [op, operation = std::move(operation)](const QVariantList &args) {
                                const QString why = ZDOrv::refusal(*op, args);
                                if (!why.isEmpty())
                                    throw std::invalid_argument(why.toStdString());
                                return operation(args);
                            });
    };
    // A tool sends an error object or its dictionary.
    auto toError = [](const QVariant &value) {
        if (value.userType() == qMetaTypeId<ZDRemoteError>())
            return value.value<ZDRemoteError>();
        const QVariantMap map = value.toMap();
        if (map.isEmpty())
            throw std::invalid_argument("not an error");
        return ZDRemoteError(map.value(QStringLiteral("domain")).toString(),
                             map.value(QStringLiteral("code")).toLongLong(),
                             map.value(QStringLiteral("userInfo")).toMap());
    };
    serve(ZDOrv::kIncrementRemoteProgress, [this](const QVariantList &) {
        m_registry->incrementRemoteProgress();
        return QVariant();
    });
    serve(ZDOrv::kPostFinishedTask, [this](const QVariantList &) {
        m_registry->postFinishedTask();
        return QVariant();
    });
    serve(ZDOrv::kPostError, [this, toError](const QVariantList &args) {
        m_registry->postError(toError(args.value(0)));
        return QVariant();
    });
    serve(ZDOrv::kPostErrorString, [this](const QVariantList &args) {
        m_registry->postErrorString(args.value(0).toString());
        return QVariant();
    });
    serve(ZDOrv::kPostErrorUserInfo, [this, toError](const QVariantList &args) {
        m_registry->postErrorUserInfo(toError(args.value(0)), args.value(1).toMap());
        return QVariant();
    });
    serve(ZDOrv::kPostErrorStringUserInfo, [this](const QVariantList &args) {
        m_registry->postErrorStringUserInfo(args.value(0).toString(), args.value(1).toMap());
        return QVariant();
    });
    serve(ZDOrv::kPostDisconnect, [this](const QVariantList &) {
        ZDThreads::post(this, [this] { disconnect(); }); // after the caller has its answer
        return QVariant();
    });
}
