#include "features/ZDSchedules.h"

#include "rights/ZDAuthorization.h"
#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientTasks.h"
#include "rights/ZDLaunchd.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "rpc/ZDRemoteObject.h"
#include "process/ZDTaskEx.h"

#include <QRegularExpression>

#include <future>
#include <thread>

namespace {

const QString kObj1 = QStringLiteral("obj1");
const QString kObj2 = QStringLiteral("obj2");

bool isIdentifier(const QString &text, int maxLength)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9._-]+\\z"));
    return !text.isEmpty() && text.size() <= maxLength && re.match(text).hasMatch() && text != QLatin1String(".")
        && text != QLatin1String("..");
}

// A text, number or truth value as the tool's "0"/"1"; empty when it is none of them.
QString truthOf(const QVariant &value)
{
    if (value.typeId() == QMetaType::Bool)
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("1") || text == QLatin1String("true") || text == QLatin1String("yes"))
        return QStringLiteral("1");
    if (text == QLatin1String("0") || text == QLatin1String("false") || text == QLatin1String("no"))
        return QStringLiteral("0");
    return {};
}

QString shown(const QVariant &value)
{
    QString text = value.toString().left(200);
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    }
    return text;
}

} // namespace

ZDSchedules::ZDSchedules(ZDClientTasks *tasks, ZDCallbackRegistry *registry) : m_tasks(tasks), m_registry(registry)
{
}

void ZDSchedules::addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                                std::function<void()> clearCancelled)
{
    const auto self = std::make_shared<ZDSchedules>(tasks, registry);
    const auto serve = [&](const char *op, std::function<QVariant(const QVariantList &)> body) {
        root.serve(op, [clearCancelled, body = std::move(body)](const QVariantList &args) {
            clearCancelled();
            return body(args);
        });
    };
    serve("cadroTaskDictionary", [self](const QVariantList &) { return self->taskDictionary(); });
    serve("cadroAddTask:settings:", [self](const QVariantList &a) -> QVariant {
        return self->addTask(a.value(0).toMap(), a.value(1).toMap());
    });
    serve("cadroEditTask:settings:", [self](const QVariantList &a) -> QVariant {
        return self->editTask(a.value(0).toMap(), a.value(1).toMap());
    });
    serve("cadroRemoveTask:settings:", [self](const QVariantList &a) -> QVariant {
        return self->removeTask(a.value(0).toMap(), a.value(1).toMap());
    });
    serve("cadroEnableTask:settings:", [self](const QVariantList &a) -> QVariant {
        return self->enableTask(a.value(0).toMap(), a.value(1).toMap());
    });
}

bool ZDSchedules::isTaskFileName(const QString &name)
{
    return isIdentifier(name, 150);
}

QStringList ZDSchedules::taskArguments(const QVariantMap &task, bool withFileName, QString *why)
{
    QStringList out;
    const auto fail = [why](const QString &reason) {
        *why = reason;
        return QStringList();
    };
    if (withFileName) {
        const QString name = task.value(QStringLiteral("filename")).toString();
        if (!isTaskFileName(name))
            return fail(QStringLiteral("the task name \"%1\" may hold only letters, digits, '.', '_' and '-'").arg(shown(name)));
        out << name;
    }
    const QString bundleID = task.value(QStringLiteral("bundleid")).toString();
    const QString taskID = task.value(QStringLiteral("taskid")).toString();
    if (!isIdentifier(bundleID, 100) || !isIdentifier(taskID, 100))
        return fail(QStringLiteral("the tool and task may hold only letters, digits, '.', '_' and '-'"));
    bool ok = false;
    const int type = task.value(QStringLiteral("scheduletype")).toString().toInt(&ok);
    if (!ok || type < 0 || type > ZDLaunchd::kFolderWatch)
        return fail(QStringLiteral("unknown schedule type \"%1\"").arg(shown(task.value(QStringLiteral("scheduletype")))));
    out << bundleID << taskID << QString::number(type);
    const QVariant interval = task.value(QStringLiteral("intervalval"));
    const QString value = interval.isValid() ? interval.toString() : QString();
    if (const QString problem = ZDLaunchd::scheduleProblem(type, value); !problem.isEmpty())
        return fail(problem);
    if (!value.isEmpty())
        out << value;
    const QVariant enabled = task.value(QStringLiteral("enabled"));
    if (enabled.isValid()) {
        const QString truth = truthOf(enabled);
        if (truth.isEmpty())
            return fail(QStringLiteral("enabled must be 0 or 1"));
        out << QStringLiteral("-enable") << truth;
    }
    return out;
}

QString ZDSchedules::tool(ZDToolCatalog::Run run) const
{
    const QString path = m_tasks ? m_tasks->exePathForAppWithBundleID(QString::fromLatin1(kBundleID), run) : QString();
    if (path.isEmpty() || !ZDTaskEx::isRunnable(path)) {
        ZDLog::appendLog(QStringLiteral("Cannot find the location of the Cadro application"));
        return {};
    }
    return path;
}

bool ZDSchedules::refuse(const QString &why) const
{
    ZDLog::appendLog(QStringLiteral("Refused Cadro task: %@"), why);
    if (m_registry)
        m_registry->postErrorString(QStringLiteral("Error: the scheduled task was refused: ") + why);
    return false;
}

QVariant ZDSchedules::taskDictionary() const
{
    ZDLog::appendLog(QStringLiteral("Getting Cadro tasks..."));
    const QString path = tool(ZDClientTasks::Run::AsUser);
    if (path.isEmpty())
        return {};
    const std::optional<QByteArray> output = ZDTaskEx::dataFromTask(path, {QStringLiteral("-tasks")}, kListTimeout);
    if (!output || output->isEmpty()) {
        ZDLog::appendLog(QStringLiteral("No data from Cadro task"));
        return {};
    }
    const QVariant answer = ZDPropertyList::fromData(*output);
    if (answer.userType() != QMetaType::QVariantMap) {
        ZDLog::appendLog(QStringLiteral("Could not convert output of Cadro task to dictionary"));
        return {};
    }
    return answer;
}

bool ZDSchedules::run(const QStringList &arguments, const QVariantMap &auth) const
{
    const QString path = tool(auth.isEmpty() ? ZDClientTasks::Run::AsUser : ZDClientTasks::Run::WithRights);
    const QString info = QString::fromLatin1(kBundleID);
    if (path.isEmpty()) {
        if (m_registry)
            m_registry->postErrorWithCode(ZDOrv::kErrorApplicationMissing, info);
        return false;
    }
    int code = 0;
    if (auth.isEmpty() || ZDLocalPaths::isRoot()) {
        // A root agent checks the credentials too, and runs only a protected tool.
        if (!auth.isEmpty() && m_tasks->authWithDict(auth))
            return false;
        QString reason;
        if (ZDLocalPaths::isRoot() && ZDAuthorization::trustedPath(path, &reason).isEmpty()) {
            ZDLog::appendLog(QStringLiteral("Unable to execute task: path %@ is not protected (%@)"), path, reason);
            if (m_registry)
                m_registry->postErrorWithCode(ZDOrv::kErrorApplicationMissing, info);
            return false;
        }
        code = ZDTaskEx::terminationCodeFromTask(path, arguments, kRunTimeout);
    } else {
        // Waited for, but never longer than the bound: the answer must not hang on a stuck tool.
        auto done = std::make_shared<std::promise<bool>>();
        std::future<bool> result = done->get_future();
        std::thread([tasks = m_tasks, path, arguments, auth, done] {
            done->set_value(!tasks->launchAuthTask(path, arguments, auth, ZDAuthorization::Launch::Waited));
        }).detach();
        if (result.wait_for(kRunTimeout * 2) != std::future_status::ready) {
            ZDLog::appendLog(QStringLiteral("Cadro is still running with administrator rights"));
            return false;
        }
        return result.get();
    }
    if (code != 0) {
        ZDLog::appendLog(QStringLiteral("Cadro task failed with code %@"), QString::number(code));
        if (m_registry)
            m_registry->postErrorWithCode(code, info);
        return false;
    }
    return true;
}

bool ZDSchedules::addTask(const QVariantMap &auth, const QVariantMap &settings) const
{
    const QVariantMap task = settings.value(kObj1).toMap();
    ZDLog::appendLog(QStringLiteral("Adding Cadro task: %@"), shown(task.value(QStringLiteral("taskid"))));
    QString why;
    const QStringList arguments = taskArguments(task, false, &why);
    if (arguments.isEmpty())
        return refuse(why);
    return run(QStringList {QStringLiteral("-add")} + arguments, auth);
}

bool ZDSchedules::editTask(const QVariantMap &auth, const QVariantMap &settings) const
{
    const QVariantMap task = settings.value(kObj1).toMap();
    ZDLog::appendLog(QStringLiteral("Editing Cadro task: %@"), shown(task.value(QStringLiteral("filename"))));
    QString why;
    const QStringList arguments = taskArguments(task, true, &why);
    if (arguments.isEmpty())
        return refuse(why);
    return run(QStringList {QStringLiteral("-edit")} + arguments, auth);
}

bool ZDSchedules::removeTask(const QVariantMap &auth, const QVariantMap &settings) const
{
    const QString name = settings.value(kObj2).toString();
    ZDLog::appendLog(QStringLiteral("Removing Cadro task %@..."), shown(name));
    if (!isTaskFileName(name))
        return refuse(QStringLiteral("the task name may hold only letters, digits, '.', '_' and '-'"));
    return run({QStringLiteral("-remove"), name}, auth);
}

bool ZDSchedules::enableTask(const QVariantMap &auth, const QVariantMap &settings) const
{
    const QVariant given = settings.value(kObj1);
    const QString name = given.isValid() ? given.toString() : QString();
    const bool on = truthOf(settings.value(kObj2)) == QLatin1String("1");
    if (name.isEmpty())
        ZDLog::appendLog(on ? QStringLiteral("Enabling all Cadro tasks...") : QStringLiteral("Disabling all Cadro tasks..."));
    else
        ZDLog::appendLog(on ? QStringLiteral("Enabling Cadro task %@...") : QStringLiteral("Disabling Cadro task %@..."),
                         shown(name));
    if (!name.isEmpty() && !isTaskFileName(name))
        return refuse(QStringLiteral("the task name may hold only letters, digits, '.', '_' and '-'"));
    QStringList arguments {on ? QStringLiteral("-enable") : QStringLiteral("-disable")};
    if (!name.isEmpty())
        arguments << name;
    return run(arguments, auth);
}
