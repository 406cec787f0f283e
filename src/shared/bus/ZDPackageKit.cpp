#include "bus/ZDPackageKit.h"

#include "log/ZDLog.h"

#include <QDBusArgument>
#include <algorithm>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>

namespace {
const QString kService = QStringLiteral("org.freedesktop.PackageKit");
const QString kTransaction = QStringLiteral("org.freedesktop.PackageKit.Transaction");
constexpr qulonglong kFilterNone = 1ULL << 1;
constexpr qulonglong kFilterInstalled = 1ULL << 2;
constexpr qulonglong kOnlyTrusted = 1ULL << 1;
constexpr uint kInfoInstalled = 1;
constexpr uint kExitSuccess = 1;
constexpr int kMaxErrors = 20;

QString bounded(const QVariant &v)
{
    return v.toString().left(ZDPackageKit::kMaxTextLength);
}

// Collects one transaction's signals until Finished, or until PackageKit goes away.
class Listener : public QObject
{
    Q_OBJECT
public:
    ZDPackageKit::Result result;
    QStringList errors;
    bool finished = false;
    uint exit = 0;
    ZDPackageKit::Progress progress;
    QEventLoop loop;

public Q_SLOTS:
    void package(const QDBusMessage &m)
    {
        const QVariantList a = m.arguments();
        if (a.size() < 3 || result.packages.size() >= ZDPackageKit::kMaxPackages)
            return;
        result.packages << ZDPackageKit::Package{bounded(a.at(1)), a.at(0).toUInt(), bounded(a.at(2))};
    }
    void details(const QDBusMessage &m)
    {
        if (m.arguments().isEmpty() || result.details.size() >= ZDPackageKit::kMaxPackages)
            return;
        QVariantMap map;
        const QDBusArgument arg = m.arguments().at(0).value<QDBusArgument>();
        if (arg.currentSignature() != QLatin1String("a{sv}"))
            return;
        arg >> map;
        QVariantMap plain;
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const QVariant v = it.value().canConvert<QDBusVariant>() ? it.value().value<QDBusVariant>().variant() : it.value();
            if (v.userType() == QMetaType::QString)
                plain.insert(it.key(), bounded(v));
            else if (v.userType() == QMetaType::ULongLong || v.userType() == QMetaType::UInt || v.userType() == QMetaType::LongLong)
                plain.insert(it.key(), v.toLongLong());
        }
        const QString id = plain.value(QStringLiteral("package-id")).toString();
        if (!id.isEmpty())
            result.details.insert(id, plain);
    }
    void updateDetail(const QDBusMessage &m)
    {
        const QVariantList a = m.arguments();
        if (a.size() < 9 || result.changes.size() >= ZDPackageKit::kMaxPackages)
            return;
        // The update's own text first, then its change log.
        const QString text = bounded(a.at(7)), log = bounded(a.at(8));
        result.changes.insert(bounded(a.at(0)), text.isEmpty() ? log : log.isEmpty() ? text : text + QStringLiteral("\n\n") + log);
    }
    void errorCode(const QDBusMessage &m)
    {
        const QVariantList a = m.arguments();
        if (a.size() >= 2 && errors.size() < kMaxErrors) {
            errors << bounded(a.at(1));
            result.errorCodes << a.at(0).toUInt();
        }
    }
    void done(const QDBusMessage &m)
    {
        finished = true;
        exit = m.arguments().value(0).toUInt();
        loop.quit();
    }
    void propertiesChanged(const QDBusMessage &m)
    {
        const QVariantList a = m.arguments();
        if (!progress || a.size() < 2 || a.at(0).toString() != kTransaction)
            return;
        QVariantMap changed;
        const QDBusArgument arg = a.at(1).value<QDBusArgument>();
        if (arg.currentSignature() != QLatin1String("a{sv}"))
            return;
        arg >> changed;
        const QVariant v = changed.value(QStringLiteral("Percentage"));
        const uint percent = (v.canConvert<QDBusVariant>() ? v.value<QDBusVariant>().variant() : v).toUInt();
        // 101 means "not known".
        if (v.isValid() && percent <= 100)
            progress(int(percent));
    }
    void gone()
    {
        errors << QStringLiteral("PackageKit stopped during the transaction");
        loop.quit();
    }
};

QDBusMessage call(const QDBusMessage &message)
{
    return QDBusConnection::systemBus().call(message, QDBus::Block,
                                             int(std::chrono::milliseconds(ZDPackageKit::kCallTimeout).count()));
}
} // namespace

bool ZDPackageKit::Package::installed() const
{
    return info == kInfoInstalled || id.section(QLatin1Char(';'), 3).startsWith(QLatin1String("installed"));
}

bool ZDPackageKit::validPackageName(const QString &name)
{
    // A Debian package name, or a Flatpak id (letters of both cases, "_").
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9+._-]{0,254}$"));
    return re.match(name).hasMatch();
}

bool ZDPackageKit::alreadyDone(const Result &result)
{
    // package-already-installed, no-packages-to-update, all-packages-already-installed
    static const QList<uint> done{9, 27, 41};
    return !result.ok && !result.errorCodes.isEmpty()
        && std::all_of(result.errorCodes.cbegin(), result.errorCodes.cend(), [](uint c) { return done.contains(c); });
}

bool ZDPackageKit::available(QString *why) const
{
    const QDBusConnection bus = QDBusConnection::systemBus();
    QString reason;
    if (!bus.isConnected()) {
        reason = QStringLiteral("no system bus");
    } else {
        const QDBusMessage owner = call(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
            QStringLiteral("NameHasOwner")) << kService);
        if (owner.type() == QDBusMessage::ReplyMessage && owner.arguments().value(0).toBool())
            return true;
        // Not running yet: the bus starts it on the first call when it can.
        const QDBusMessage names = call(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
            QStringLiteral("ListActivatableNames")));
        if (names.type() == QDBusMessage::ReplyMessage && names.arguments().value(0).toStringList().contains(kService))
            return true;
        reason = QStringLiteral("no PackageKit on the system bus");
    }
    if (why)
        *why = reason;
    return false;
}

ZDPackageKit::Result ZDPackageKit::transaction(const QString &method, const QVariantList &arguments,
                                               std::chrono::milliseconds timeout, const Progress &progress) const
{
    Result failed;
    QString why;
    if (!available(&why)) {
        ZDLog::appendLog(QStringLiteral("PackageKit: %@"), why);
        failed.error = QLatin1String(kNotAvailable);
        return failed;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    const QDBusMessage created = call(QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/PackageKit"),
                                                                     kService, QStringLiteral("CreateTransaction")));
    const QString path = created.type() == QDBusMessage::ReplyMessage
        ? created.arguments().value(0).value<QDBusObjectPath>().path()
        : QString();
    if (path.isEmpty() || !path.startsWith(QLatin1String("/"))) {
        ZDLog::appendLog(QStringLiteral("PackageKit: no transaction: %@"), created.errorMessage());
        failed.error = created.errorMessage().isEmpty() ? QLatin1String(kNotAvailable) : created.errorMessage();
        return failed;
    }
    Listener listener;
    listener.progress = progress;
    const QString owner = bus.interface() ? bus.interface()->serviceOwner(kService).value() : QString();
    const struct
    {
        const char *name;
        const char *slot;
    } signals_[] = {{"Package", SLOT(package(QDBusMessage))},       {"Details", SLOT(details(QDBusMessage))},
                    {"UpdateDetail", SLOT(updateDetail(QDBusMessage))}, {"ErrorCode", SLOT(errorCode(QDBusMessage))},
                    {"Finished", SLOT(done(QDBusMessage))}};
    for (const auto &s : signals_)
        bus.connect(owner, path, kTransaction, QLatin1String(s.name), &listener, s.slot);
    bus.connect(owner, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"), &listener,
                SLOT(propertiesChanged(QDBusMessage)));
    QDBusServiceWatcher watcher(kService, bus, QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceUnregistered, &listener, &Listener::gone);
    // No one can answer a password question: polkit decides from its rules alone.
    call(QDBusMessage::createMethodCall(kService, path, kTransaction, QStringLiteral("SetHints"))
         << QStringList{QStringLiteral("interactive=false"), QStringLiteral("locale=C.UTF-8")});
    QDBusMessage request = QDBusMessage::createMethodCall(kService, path, kTransaction, method);
    request.setArguments(arguments);
    const QDBusMessage reply = call(request);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        ZDLog::appendLog(QStringLiteral("PackageKit: %@ refused: %@"), method, reply.errorMessage());
        failed.error = reply.errorMessage().left(kMaxTextLength);
        return failed;
    }
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &listener.loop, &QEventLoop::quit);
    deadline.start(timeout);
    if (!listener.finished)
        listener.loop.exec();
    for (const auto &s : signals_)
        bus.disconnect(owner, path, kTransaction, QLatin1String(s.name), &listener, s.slot);
    bus.disconnect(owner, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
                   &listener, SLOT(propertiesChanged(QDBusMessage)));
    Result result = std::move(listener.result);
    if (!listener.finished) {
        call(QDBusMessage::createMethodCall(kService, path, kTransaction, QStringLiteral("Cancel")));
        result.error = listener.errors.value(0, QStringLiteral("PackageKit did not finish in time"));
        ZDLog::appendLog(QStringLiteral("PackageKit: %@: %@"), method, result.error);
        return result;
    }
    result.ok = listener.exit == kExitSuccess && listener.errors.isEmpty();
    if (!result.ok) {
        result.error = listener.errors.isEmpty() ? QStringLiteral("PackageKit gave up (exit %1)").arg(listener.exit)
                                                 : listener.errors.join(QLatin1Char('\n'));
        ZDLog::appendLog(QStringLiteral("PackageKit: %@ failed: %@"), method, result.error);
    }
    return result;
}

ZDPackageKit::Result ZDPackageKit::updates() const
{
    return transaction(QStringLiteral("GetUpdates"), {QVariant::fromValue(kFilterNone)}, kQueryTimeout, {});
}

ZDPackageKit::Result ZDPackageKit::installed(const QStringList &names) const
{
    QStringList valid;
    for (const QString &n : names)
        if (validPackageName(n))
            valid << n;
    if (valid.isEmpty())
        return Result{true, {}, {}, {}, {}, {}};
    Result r = transaction(QStringLiteral("Resolve"), {QVariant::fromValue(kFilterInstalled), valid}, kQueryTimeout, {});
    r.packages.removeIf([](const Package &p) { return !p.installed(); });
    return r;
}

ZDPackageKit::Result ZDPackageKit::details(const QStringList &ids) const
{
    return transaction(QStringLiteral("GetDetails"), {ids}, kQueryTimeout, {});
}

ZDPackageKit::Result ZDPackageKit::updateDetails(const QStringList &ids) const
{
    return transaction(QStringLiteral("GetUpdateDetail"), {ids}, kQueryTimeout, {});
}

ZDPackageKit::Result ZDPackageKit::update(const QStringList &ids, const Progress &progress) const
{
    return transaction(QStringLiteral("UpdatePackages"), {QVariant::fromValue(kOnlyTrusted), ids}, kChangeTimeout, progress);
}

ZDPackageKit::Result ZDPackageKit::install(const QStringList &ids, const Progress &progress) const
{
    return transaction(QStringLiteral("InstallPackages"), {QVariant::fromValue(kOnlyTrusted), ids}, kChangeTimeout, progress);
}

ZDPackageKit::Result ZDPackageKit::remove(const QStringList &ids, const Progress &progress) const
{
    return transaction(QStringLiteral("RemovePackages"), {QVariant::fromValue(qulonglong(0)), ids, false, false},
                       kChangeTimeout, progress);
}

#include "ZDPackageKit.moc"
