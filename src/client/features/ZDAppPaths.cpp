#include "features/ZDAppPaths.h"

#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientTasks.h"
#include "log/ZDLog.h"
#include "catalog/ZDPreferenceKinds.h"
#include "plist/ZDPropertyList.h"
#include "rpc/ZDRemoteObject.h"
#include "process/ZDTaskEx.h"

namespace PK = ZDPreferenceKinds;
using namespace std::chrono_literals;

ZDAppPaths::ZDAppPaths(std::function<QString()> executable, std::function<void(int, const QString &)> postError,
                       std::function<void(const QString &)> postText)
    : m_executable(std::move(executable)), m_postError(std::move(postError)), m_postText(std::move(postText))
{
}

void ZDAppPaths::addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                               std::function<void()> clearCancelled)
{
    const auto self = std::make_shared<ZDAppPaths>(
        [tasks]() -> QString {
            return tasks ? tasks->exePathForAppWithBundleID(QString::fromLatin1(kBundleID), ZDClientTasks::Run::AsUser) : QString();
        },
        [registry](int code, const QString &info) {
            if (registry)
                registry->postErrorWithCode(code, info);
        },
        [registry](const QString &text) {
            if (registry)
                registry->postErrorString(text);
        });
    const auto serve = [&](const char *op, std::function<QVariant(const QVariantList &)> body) {
        root.serve(op, [clearCancelled, body = std::move(body)](const QVariantList &args) {
            clearCancelled();
            return body(args);
        });
    };
    const QVariant none;
    serve("tarnokPaths", [self](const QVariantList &) { return self->paths(); });
    serve("setTarnokPaths:", [self, none](const QVariantList &a) { return self->setPaths(a.value(0).toMap()), none; });
    serve("setTarnokPath:forKey:", [self, none](const QVariantList &a) {
        return self->setPath(a.value(0).toString(), a.value(1).toString()), none;
    });
    serve("resetTarnokPath:", [self, none](const QVariantList &a) { return self->resetPath(a.value(0).toString()), none; });
}

QString ZDAppPaths::tool() const
{
    const QString path = m_executable ? m_executable() : QString();
    if (path.isEmpty() || !ZDTaskEx::isRunnable(path)) {
        ZDLog::appendLog(QStringLiteral("Cannot find the location of the Tarnok application"));
        return {};
    }
    return path;
}

QVariant ZDAppPaths::paths() const
{
    ZDLog::appendLog(QStringLiteral("Getting Tarnok paths..."));
    const QString path = tool();
    if (path.isEmpty())
        return {};
    const std::optional<QByteArray> output = ZDTaskEx::dataFromTask(path, {QStringLiteral("-allpaths")}, 15s);
    if (!output || output->isEmpty()) {
        ZDLog::appendLog(QStringLiteral("No data from Tarnok task"));
        return {};
    }
    const QVariant answer = ZDPropertyList::fromData(*output);
    if (answer.userType() != QMetaType::QVariantMap) {
        ZDLog::appendLog(QStringLiteral("Could not convert output of Tarnok task to dictionary"));
        return {};
    }
    return answer;
}

void ZDAppPaths::setPaths(const QVariantMap &paths) const
{
    ZDLog::appendLog(QStringLiteral("Setting Tarnok paths to %@"), QString::number(paths.size()));
    if (const QString why = PK::pathDictionaryProblem(paths); !why.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Refused path dictionary: %@"), why);
        m_postText(QStringLiteral("Error: the paths were refused: ") + why);
        return;
    }
    QString error;
    const QByteArray text = ZDPropertyList::toOpenStep(paths, &error);
    if (text.isEmpty() || text.size() > PK::kMaxArgumentBytes) {
        const QString why = text.isEmpty() ? error : QStringLiteral("larger than %1 bytes").arg(PK::kMaxArgumentBytes);
        ZDLog::appendLog(QStringLiteral("Refused path dictionary: %@"), why);
        m_postText(QStringLiteral("Error: the paths were refused: ") + why);
        return;
    }
    ZDLog::appendLog(QStringLiteral("Running task..."));
    runForExitCode({QStringLiteral("-setallpaths"), QString::fromUtf8(text)});
}

void ZDAppPaths::runForExitCode(const QStringList &arguments) const
{
    const QString path = tool();
    if (path.isEmpty())
        return;
    ZDLog::appendLog(QStringLiteral("Launching task..."));
    const int code = ZDTaskEx::terminationCodeFromTask(path, arguments, 15s);
    if (code != 0) {
        ZDLog::appendLog(QStringLiteral("Task failed"));
        m_postError(code, QString());
    } else {
        ZDLog::appendLog(QStringLiteral("Task completed successfully"));
    }
}

void ZDAppPaths::setPath(const QString &path, const QString &key) const
{
    ZDLog::appendLog(QStringLiteral("Setting Tarnok path to %@ for key %@"), path, key);
    QString why = PK::pathRowForKey(key) ? PK::pathProblem(path) : QStringLiteral("unknown path key");
    if (!why.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Refused path: %@"), why);
        m_postText(QStringLiteral("Error: the path was refused: ") + why);
        return;
    }
    runForExitCode({QStringLiteral("-setpath"), key, path});
}

void ZDAppPaths::resetPath(const QString &key) const
{
    ZDLog::appendLog(QStringLiteral("Resetting Tarnok path for key %@"), key);
    if (!PK::pathRowForKey(key)) {
        ZDLog::appendLog(QStringLiteral("Refused path: unknown path key"));
        m_postText(QStringLiteral("Error: the path was refused: unknown path key"));
        return;
    }
    if (tool().isEmpty()) {
        m_postError(kToolNotFound, QString::fromLatin1(kBundleID));
        return;
    }
    runForExitCode({QStringLiteral("-resetpath"), key});
}
