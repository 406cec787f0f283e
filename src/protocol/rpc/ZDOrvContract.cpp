#include "rpc/ZDOrvContract.h"

#include "rpc/ZDOrvProtocol.h"
#include "rpc/ZDRemoteError.h"
#include "rpc/ZDRemoteProxy.h"

#include <QDateTime>

#include <initializer_list>

namespace ZDOrv {
namespace {

constexpr Operation row(const char *name, Side side, Call call, std::initializer_list<Kind> args, Kind result,
                        const char *feature = nullptr)
{
    Operation op{name, side, call, {}, result, feature};
    int i = 0;
    for (const Kind k : args)
        op.arguments[i++] = k;
    for (; i < kMaxArguments; ++i)
        op.arguments[i] = Kind::None;
    return op;
}

constexpr Operation taken(Operation op, unsigned flags)
{
    op.taken |= flags;
    return op;
}

constexpr Operation access(Operation op, Access a)
{
    op.access = a;
    return op;
}

constexpr Side A = Side::Agent;
constexpr Side C = Side::Console;
constexpr Call Sync = Call::Synchronous;
constexpr Call Oneway = Call::Oneway;
using K = Kind;

// A later feature's operation: served with the feature, checked then.
constexpr Operation later(const char *name, Call call, const char *feature)
{
    Operation op = row(name, A, call, {}, K::Any, feature);
    for (int i = 0; i < op.argumentCount() && i < kMaxArguments; ++i)
        op.arguments[i] = K::Any;
    return op;
}

constexpr const char *kRenderQueue = "render queue";
constexpr const char *kApplications = "applications and tools";
constexpr const char *kUpdates = "software updates";

const Operation kTable[] = {
    // The agent: connection, configuration and status.
    // Settings and registrations: enrolled consoles only, whatever the mode. The
    // notices a console hears (errors, progress, finished tasks) come from the
    // computer's own tools through the local callback object, never the network.
    access(taken(row(kDisconnect, A, Oneway, {}, K::None), TakenWithError), Access::Enrolled),
    access(taken(row(kRelaunch, A, Oneway, {}, K::None), TakenWithError), Access::Enrolled),
    row(kCancelMaintenanceRequest, A, Oneway, {}, K::None),
    access(row(kSetErrorCallback, A, Oneway, {K::Reference}, K::None), Access::Enrolled),
    row(kInitialConfiguration, A, Sync, {}, K::Dictionary),
    row(kFetchInitialConfiguration, A, Oneway, {K::Reference}, K::None),
    row(kComputerIcon, A, Sync, {}, K::Data),
    taken(row(kComputerIconSize, A, Sync, {K::Size}, K::Data), TakenWithError | TakenWhenDisabled),
    taken(row(kSystemSpecs, A, Sync, {}, K::Dictionary), TakenWithError | TakenWhenDisabled),
    row(kNetworkClientSettings, A, Sync, {}, K::Dictionary),
    // A console reads back what it wrote: the link runs it before the next call.
    access(row(kSetNetworkClientSettings, A, Call::OnewayInOrder, {K::Dictionary}, K::None), Access::Enrolled),
    taken(row(kValidateUsernamePassword, A, Sync, {K::Text, K::Data}, K::Bool), TakenWithError | TakenWhenDisabled),
    access(row(kPing, A, Sync, {}, K::None), Access::Unenrolled),
    access(row(kRequestPairing, A, Sync, {}, K::Text), Access::Pairing),
    // Oneway, so a cancel never waits behind the work it cancels.
    row(kCancelProcessing, A, Oneway, {}, K::None),
    // Logs.
    taken(row(kPopulateZDLogFilenames, A, Sync, {}, K::TextArray), TakenWithError | TakenWhenDisabled),
    taken(row(kLogWithFilename, A, Sync, {K::Path}, K::Text), TakenWithError | TakenWhenDisabled),
    row(kFcsCrashLog, A, Sync, {K::Path}, K::Text),
    taken(row(kGatherLogs, A, Sync, {}, K::Dictionary), TakenWithError | TakenWhenDisabled),
    // Remote tasks.
    row(kExecuteTask, A, Sync, {K::Text, K::Text, K::TextArray}, K::None),
    row(kAuthExecuteTask, A, Sync, {K::Text, K::Text, K::TextArray, K::Text, K::Data}, K::None),
    row(kAuthExecuteTaskCallback, A, Oneway,
        {K::Text, K::Text, K::TextArray, K::Text, K::Data, K::OptionalReference, K::Text}, K::None),
    row(kZdAppTasks, A, Sync, {}, K::Array),
    row(kNeedsAdminAccess, A, Sync, {K::TextArray}, K::Bool),

    // The maintenance features that come later.
    // Crash logs: the collection answers once its batches are sent, so a console knows they are all in.
    row("crashLogsSinceDate:delegate:", A, Sync, {K::Any, K::OptionalReference}, K::None),
    row("quellarGetDefinition:", A, Sync, {K::OptionalText}, K::Text),
    row("quellarRemoveLogFilename:", A, Oneway, {K::OptionalText}, K::None),
    row("quellarSubmitCrashLog:comment:", A, Oneway, {K::OptionalText, K::OptionalText}, K::None),
    row("consolidateCrashLogs:", A, Oneway, {K::Dictionary}, K::None),
    row("diffFinderSystemInfo", A, Sync, {}, K::Dictionary),
    row("fcsTidwellRunTasks:", A, Sync, {K::TextArray}, K::None),
    row("purgelRemoveApps:settings:", A, Sync, {K::Dictionary, K::Dictionary}, K::None),
    row("finalCutStudioAppInfo", A, Sync, {}, K::Dictionary),
    row("orvelleAppInfo", A, Sync, {}, K::Dictionary),
    row("orvelleSettings", A, Sync, {}, K::Dictionary),
    row("setOrvelleSettings:", A, Oneway, {K::Dictionary}, K::None),
    row("orvPasswordProtect:settings:", A, Oneway, {K::Dictionary, K::Dictionary}, K::None),
    row("launchApp:", A, Sync, {K::Text}, K::None),
    row("terminateApp:", A, Sync, {K::Text}, K::None),
    row("forceQuitApp:", A, Sync, {K::Text}, K::None),
    row("kitterelTrashCaches:settings:", A, Sync, {K::Dictionary, K::Dictionary}, K::None),
    row("tarnokPaths", A, Sync, {}, K::Dictionary),
    row("setTarnokPaths:", A, Sync, {K::Dictionary}, K::None),
    row("setTarnokPath:forKey:", A, Sync, {K::Path, K::Text}, K::None),
    row("resetTarnokPath:", A, Sync, {K::Text}, K::None),
    row("brindelPluginList", A, Sync, {}, K::Array),
    row("brindelPluginData:", A, Sync, {K::Dictionary}, K::Data),
    row("brindelInstallPlugin:withData:", A, Sync, {K::Dictionary, K::Data}, K::Bool),
    row("brindelUpdatePlugin:settings:", A, Sync, {K::Dictionary, K::Dictionary}, K::Bool),
    row("brindelEnablePlugin:settings:", A, Sync, {K::Dictionary, K::Dictionary}, K::Bool),
    row("brindelChangeAccess:settings:", A, Sync, {K::Dictionary, K::Dictionary}, K::Bool),
    row("brindelNeedsAdminAccess:settings:", A, Sync, {K::Array, K::Dictionary}, K::Bool),
    row("stowelBackups", A, Sync, {}, K::Dictionary),
    row("stowelBackup:type:", A, Sync, {K::Text, K::Integer}, K::None),
    row("stowelBackupSelected:", A, Sync, {K::Dictionary}, K::None),
    row("stowelBackupData:", A, Sync, {K::Path}, K::Data),
    row("stowelRestoreRemoteBackup:", A, Sync, {K::Data}, K::None),
    row("stowelRestoreLocalBackup:", A, Sync, {K::Path}, K::None),
    row("stowelTrashSelected:", A, Sync, {K::OptionalText}, K::None),
    row("stowelLockSelected:", A, Sync, {K::OptionalText}, K::None),
    row("stowelUnlockSelected:", A, Sync, {K::OptionalText}, K::None),
    row("qmasterJobs", A, Sync, {}, K::Dictionary),
    later("processQmasterClusterOnThread:", Oneway, kRenderQueue),
    row("qmasterJobPause:", A, Sync, {K::Array}, K::Bool),
    row("qmasterJobResume:", A, Sync, {K::Array}, K::Bool),
    row("qmasterJobTerminate:", A, Sync, {K::Array}, K::Bool),
    row("qmasterStartSharing", A, Sync, {}, K::Bool),
    row("qmasterStopSharing", A, Sync, {}, K::Bool),
    row("qmasterResetServices", A, Sync, {}, K::Bool),
    taken(row("listZendrelNuvells", A, Sync, {}, K::Any), TakenWithError), // the list, or null
    taken(row("fetchNuvellAvailableUpdateCount", A, Oneway, {}, K::None), TakenWithError),
    taken(row(kInstallZendrelNuvellSettings, A, Oneway, {K::Dictionary, K::Dictionary}, K::None), TakenWithErrorWithRights),
    row("nuvellManualInstall:", A, Oneway, {K::OptionalText}, K::None),
    row("cadroTaskDictionary", A, Sync, {}, K::Dictionary),
    row("cadroAddTask:settings:", A, Sync, {K::Dictionary, K::Dictionary}, K::Bool),
    row("cadroEditTask:settings:", A, Sync, {K::Dictionary, K::Dictionary}, K::Bool),
    row("cadroRemoveTask:settings:", A, Sync, {K::Dictionary, K::Dictionary}, K::Bool),
    row("cadroEnableTask:settings:", A, Sync, {K::Dictionary, K::Dictionary}, K::Bool),

    // A console's error callback object.
    row(kAddErrorToQueueHostname, C, Oneway, {K::Error, K::HostName}, K::None),
    row(kAddErrorToQueueUserInfo, C, Oneway, {K::Error, K::Dictionary}, K::None),
    row(kAddStringToQueueHostname, C, Oneway, {K::OptionalText, K::HostName}, K::None),
    row(kAddStringToQueueUserInfo, C, Oneway, {K::OptionalText, K::Dictionary}, K::None),
    row(kIncrementProgress, C, Oneway, {}, K::None),
    row(kTaskFinished, C, Oneway, {}, K::None),
    row(kUpdateConfig, C, Oneway, {K::HostName}, K::None),
    row(kWillDisconnect, C, Oneway, {K::HostName}, K::None),
    row(kRequestMaintenance, C, Oneway, {K::HostName}, K::None),
    row(kCancelMaintenance, C, Oneway, {K::HostName}, K::None),
    row(kQuellarAddLogsHostName, C, Oneway, {K::Array, K::HostName}, K::None),
    row(kSetNuvellCountHostname, C, Oneway, {K::Integer, K::HostName}, K::None),
    row(kCancelProcessing, C, Oneway, {}, K::None),
    // A round trip that proves the link: the agent waits for it.
    row(kPing, C, Sync, {}, K::None),

    // The console's record of one computer, configured by its agent.
    row(kProcessConfiguration, Side::ComputerRecord, Oneway, {K::Dictionary}, K::None),
    // A tool's answer.
    row(kPostCallback, Side::TaskCallback, Oneway, {K::Dictionary}, K::None),

    // The agent's machine-local callback object, for the tools on its computer.
    row(kIncrementRemoteProgress, Side::Local, Sync, {}, K::None),
    row(kPostFinishedTask, Side::Local, Sync, {}, K::None),
    row(kPostError, Side::Local, Sync, {K::Any}, K::None), // an error object or its dictionary
    row(kPostErrorString, Side::Local, Sync, {K::OptionalText}, K::None),
    row(kPostErrorUserInfo, Side::Local, Sync, {K::Any, K::Dictionary}, K::None),
    row(kPostErrorStringUserInfo, Side::Local, Sync, {K::OptionalText, K::Dictionary}, K::None),
    row(kPostDisconnect, Side::Local, Sync, {}, K::None),
};

bool isInteger(const QVariant &v)
{
    switch (v.metaType().id()) {
    case QMetaType::Int: case QMetaType::UInt: case QMetaType::Long: case QMetaType::ULong:
    case QMetaType::LongLong: case QMetaType::ULongLong: case QMetaType::Short: case QMetaType::UShort:
        return true;
    default:
        return false;
    }
}

bool isNumber(const QVariant &v)
{
    return isInteger(v) || v.metaType().id() == QMetaType::Double || v.metaType().id() == QMetaType::Bool;
}

bool isNull(const QVariant &v)
{
    return !v.isValid() || v.isNull();
}

QString checkText(const QVariant &v, qsizetype max)
{
    if (v.metaType().id() != QMetaType::QString)
        return QStringLiteral("a text was expected");
    if (v.toString().size() > max)
        return QStringLiteral("a text of more than %1 characters").arg(max);
    return {};
}

QString checkOne(Kind kind, const QVariant &v)
{
    const int type = v.metaType().id();
    switch (kind) {
    case Kind::Any:
        return {};
    case Kind::None:
        return isNull(v) ? QString() : QStringLiteral("no value was expected");
    case Kind::Bool:
        return isNumber(v) ? QString() : QStringLiteral("a truth value was expected");
    case Kind::Integer:
        return isInteger(v) ? QString() : QStringLiteral("an integer was expected");
    case Kind::Text:
        return checkText(v, kMaxText);
    case Kind::OptionalText:
        return isNull(v) ? QString() : checkText(v, kMaxText);
    case Kind::HostName:
        return checkText(v, kMaxHostName);
    case Kind::Path: {
        const QString why = checkText(v, kMaxPath);
        if (!why.isEmpty())
            return why;
        if (v.toString().isEmpty() || v.toString().contains(QChar(0)))
            return QStringLiteral("a path was expected");
        return {};
    }
    case Kind::Data:
        return type == QMetaType::QByteArray || isNull(v) ? QString() : QStringLiteral("data were expected");
    case Kind::Date:
        return type == QMetaType::QDateTime ? QString() : QStringLiteral("a date was expected");
    case Kind::Error:
        return type == qMetaTypeId<ZDRemoteError>() ? QString() : QStringLiteral("an error object was expected");
    case Kind::Size:
        if (isNumber(v) || type == QMetaType::QVariantMap
            || (type == QMetaType::QVariantList && v.toList().size() == 2))
            return {};
        return QStringLiteral("a size was expected");
    case Kind::TextArray: {
        if (isNull(v))
            return {};
        if (type != QMetaType::QVariantList && type != QMetaType::QStringList)
            return QStringLiteral("an array of texts was expected");
        const QVariantList items = v.toList();
        if (items.size() > kMaxElements)
            return QStringLiteral("an array of more than %1 elements").arg(kMaxElements);
        for (const QVariant &item : items) {
            if (const QString why = checkText(item, kMaxText); !why.isEmpty())
                return QStringLiteral("in the array: ") + why;
        }
        return {};
    }
    case Kind::Array:
        if (isNull(v))
            return {};
        if (type != QMetaType::QVariantList && type != QMetaType::QStringList)
            return QStringLiteral("an array was expected");
        return v.toList().size() > kMaxElements ? QStringLiteral("an array of more than %1 elements").arg(kMaxElements)
                                                 : QString();
    case Kind::Dictionary:
        if (isNull(v))
            return {};
        if (type != QMetaType::QVariantMap)
            return QStringLiteral("a dictionary was expected");
        return v.toMap().size() > kMaxElements ? QStringLiteral("a dictionary of more than %1 keys").arg(kMaxElements)
                                                : QString();
    case Kind::Reference:
        return ZDRemoteProxy::fromVariant(v) ? QString() : QStringLiteral("an object reference was expected");
    case Kind::OptionalReference:
        return isNull(v) || ZDRemoteProxy::fromVariant(v) ? QString() : QStringLiteral("an object reference was expected");
    }
    return QStringLiteral("unknown kind");
}

} // namespace

std::span<const Operation> operations()
{
    return kTable;
}

const Operation *find(Side side, std::string_view name)
{
    for (const Operation &op : kTable) {
        if (op.side == side && name == op.name)
            return &op;
    }
    return nullptr;
}

bool agentServes(std::string_view name, bool enrolled, bool openMode, bool tls)
{
    const Operation *op = find(Side::Agent, name);
    if (enrolled)
        return true; // an unknown name fails as unknown
    if (!op)
        return false;
    switch (op->access) {
    case Access::Unenrolled:
        return true;
    case Access::Pairing:
        return tls;
    case Access::Open:
        return openMode;
    case Access::Enrolled:
        break;
    }
    return false;
}

bool isTaken(std::string_view name, Taken flag)
{
    const Operation *op = find(Side::Agent, name);
    return op && (op->taken & flag);
}

QString refusal(const Operation &op, const QVariantList &args)
{
    const int expected = op.argumentCount();
    if (args.size() != expected)
        return QStringLiteral("%1 arguments instead of %2").arg(args.size()).arg(expected);
    for (int i = 0; i < expected && i < kMaxArguments; ++i) {
        if (const QString why = checkOne(op.arguments[i], args.at(i)); !why.isEmpty())
            return QStringLiteral("argument %1: %2").arg(i + 1).arg(why);
    }
    return {};
}

} // namespace ZDOrv
