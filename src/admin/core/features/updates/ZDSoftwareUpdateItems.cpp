#include "features/updates/ZDSoftwareUpdateItems.h"

#include "rpc/ZDOrvProtocol.h"

#include "dispatch/ZDAgentCalls.h"
#include "log/ZDLog.h"

#include <QLocale>

using namespace Qt::StringLiterals;

namespace {
constexpr int kMaxEntriesPerHost = 1000;

QString idOf(const QVariantMap &entry)
{
    const QString group = entry.value(u"groupid"_s).toString();
    return group.isEmpty() ? entry.value(u"bundleid"_s).toString() : group;
}
} // namespace

ZDNuvellItem ZDNuvellItem::withDictionary(const QVariantMap &entry, const QString &host)
{
    ZDNuvellItem item;
    item.addChild(entry, host);
    return item;
}

void ZDNuvellItem::addChild(QVariantMap entry, const QString &host)
{
    if (!host.isEmpty())
        entry.insert(u"hostname"_s, host);
    children << entry;
    if (children.size() > 1 && !host.isEmpty())
        return;
    title = entry.value(u"title"_s).toString();
    type = entry.value(u"type"_s).toString();
    bundleID = idOf(entry);
    downloadSize = entry.value(u"size"_s);
    changeList = entry.value(u"changelist"_s).toString();
    appPath = entry.value(u"path"_s).toString();
    downloadURL = entry.value(u"url"_s).toString();
    manualOnly = entry.value(u"manualOnly"_s).toBool();
    selected = manualOnly ? 0 : 1;
}

QString ZDNuvellItem::sizeText() const
{
    constexpr qsizetype kMaxSizeText = 32;
    const bool isText = downloadSize.typeId() == QMetaType::QString;
    const QString text = isText ? downloadSize.toString().simplified() : QString();
    bool number = false;
    const qint64 bytes = isText ? text.toLongLong(&number) : downloadSize.toLongLong(&number);
    if (isText && !number)
        return text.left(kMaxSizeText);
    return number && bytes > 0 ? QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat) : QString();
}

QVariantMap ZDNuvellItem::toMap() const
{
    return {{u"title"_s, title},           {u"type"_s, type},          {u"bundleID"_s, bundleID},
            {u"downloadSize"_s, downloadSize}, {u"changeList"_s, changeList}, {u"appPath"_s, appPath},
            {u"downloadURL"_s, downloadURL}, {u"children"_s, children},   {u"selected"_s, selected},
            {u"manualOnly"_s, manualOnly}};
}

QList<ZDNuvellItem> ZDSoftwareUpdateItems::merge(const QVariantMap &hostLists, const QStringList &hosts,
                                                 const QVariantMap &selfUpdate)
{
    QList<ZDNuvellItem> items;
    if (!selfUpdate.isEmpty()) {
        items << ZDNuvellItem::withDictionary(selfUpdate, QString());
        items.last().own = true;
    }
    const auto entriesOf = [&](const QString &host) {
        QVariantList out;
        for (const QVariant &e : hostLists.value(host).toMap().value(u"updates"_s).toList()) {
            if (e.userType() != QMetaType::QVariantMap || out.size() >= kMaxEntriesPerHost)
                continue;
            // Only the console's own feed may replace the console.
            if (e.toMap().value(u"type"_s).toString().compare("admin"_L1, Qt::CaseInsensitive) == 0) {
                ZDLog::appendLog(u"Ignored an update of the console offered by %@"_s, host);
                continue;
            }
            out << e;
        }
        return out;
    };
    bool agentUpdate = false;
    for (const QString &host : hosts) {
        for (const QVariant &e : entriesOf(host))
            agentUpdate = agentUpdate || ZDNuvellItem::withDictionary(e.toMap(), host).isAgent();
    }
    // An agent or console update goes first, alone.
    const bool othersHidden = agentUpdate || !selfUpdate.isEmpty();
    for (const QString &host : hosts) {
        for (const QVariant &e : entriesOf(host)) {
            const QVariantMap entry = e.toMap();
            const QString id = idOf(entry);
            auto same = std::find_if(items.begin(), items.end(),
                                     [&](const ZDNuvellItem &i) { return !i.own && i.bundleID == id; });
            if (same != items.end()) {
                same->addChild(entry, host);
                continue;
            }
            ZDNuvellItem item = ZDNuvellItem::withDictionary(entry, host);
            if (item.isAgent() || !othersHidden)
                items << item;
        }
    }
    return items;
}

void ZDSoftwareUpdateItems::changeType(QList<ZDNuvellItem> &items, bool manual)
{
    for (ZDNuvellItem &item : items) {
        if (item.manualOnly)
            item.selected = manual ? 1 : 0;
    }
}

QString ZDSoftwareUpdateItems::changeListHtml(const ZDNuvellItem &item)
{
    if (!item.manualOnly)
        return u"<div style=\"font-family:Helvetica;\">%1</div>"_s.arg(item.changeList);
    return u"<div style=\"font-family:Helvetica;margin:10px;border:thin solid #777;background-color:#EEE;padding:10px;"
           "margin-bottom:5px;\"><b>Important:</b> This update must be installed manually. Select the Manual option "
           "under Installation Type  below.</div><div style=\"padding-top:5px;font-family:Helvetica\">%1</div>"_s
        .arg(item.changeList);
}

ZDSoftwareUpdateItems::ZDSoftwareUpdateItems(ZDDispatcher &dispatcher, ZDErrorCallback *callback,
                                             ZDDispatcher::ServiceList services, HostOf hostOf, QObject *parent)
    : QObject(parent), m_dispatcher(dispatcher), m_services(std::move(services)), m_hostOf(std::move(hostOf)),
      m_notices(dispatcher, callback, this)
{
}

ZDServicePtr ZDSoftwareUpdateItems::serviceFor(const QString &host) const
{
    return ZDDispatcher::serviceNamed(m_services, m_hostOf, host);
}

QList<ZDNuvellItem> ZDSoftwareUpdateItems::refresh(const QVariantMap &selfUpdate)
{
    ZDLog::appendLog(u"Populating Nuvell updates..."_s);
    const ZDAgentCalls calls(&m_dispatcher);
    const QVariantMap answers = calls.listZendrelNuvells();
    const QVariantMap lists = ZDDispatcher::answersBy(answers, m_services, m_hostOf);
    // The badge follows what the computers count now.
    for (const ZDServicePtr &s : m_services)
        calls.fetchNuvellAvailableUpdateCount(s);
    m_notes.clear();
    for (auto it = lists.cbegin(); it != lists.cend(); ++it) {
        const QString note = it.value().toMap().value(QLatin1String(ZDOrv::kPackagesProblemKey)).toString().left(kMaxNoteLength);
        if (!note.isEmpty())
            m_notes.insert(it.key(), note);
    }
    return merge(lists, ZDDispatcher::hostsOf(m_services, m_hostOf), selfUpdate);
}

ZDSoftwareUpdateItems::Report ZDSoftwareUpdateItems::install(const QList<ZDNuvellItem> &items, bool withRights,
                                                             double waitSeconds)
{
    // A cancel left from an earlier run or a switch of tasks must not stop this one.
    m_dispatcher.clearProcessingCancelled();
    Report report;
    int total = 0;
    // A package install moves the sheet itself, in PackageKit's steps; any other counts once handed.
    auto steps = [](const ZDNuvellItem &item) { return item.type == QLatin1String("package") ? kPackageSteps : 1; };
    for (const ZDNuvellItem &item : items)
        total += item.selected && !item.own ? int(item.children.size()) * steps(item) : 0;
    Q_EMIT progressStarted(qMax(total, 1));
    const ZDAgentCalls calls(&m_dispatcher);
    for (const ZDNuvellItem &item : items) {
        if (!item.selected || item.own || m_dispatcher.isProcessingCancelled())
            continue;
        ZDLog::appendLog(u"Installing %@..."_s, item.title);
        Q_EMIT installing(item.title);
        const int from = m_notices.mark();
        int handed = 0;
        for (const QVariant &c : item.children) {
            const QString host = c.toMap().value(u"hostname"_s).toString();
            const ZDServicePtr service = serviceFor(host);
            if (!service)
                continue; // gone meanwhile
            if (calls.installZendrelNuvell(item.type, item.installTarget(), withRights, service))
                ++handed;
            else
                report.failures << host + u": not handed the install of %1"_s.arg(item.title);
            if (steps(item) == 1)
                Q_EMIT progressAdvanced();
        }
        report.handed += handed;
        // One product at a time: the next waits for every computer to finish this one.
        report.finished += m_notices.waitFor(from, handed, waitSeconds);
    }
    Q_EMIT progressFinished();
    return report;
}

ZDSoftwareUpdateItems::Report ZDSoftwareUpdateItems::manualInstall(const QList<ZDNuvellItem> &items)
{
    // A cancel left from an earlier run or a switch of tasks must not stop this one.
    m_dispatcher.clearProcessingCancelled();
    Report report;
    const ZDAgentCalls calls(&m_dispatcher);
    for (const ZDNuvellItem &item : items) {
        if (!item.selected || item.own || m_dispatcher.isProcessingCancelled())
            continue;
        for (const QVariant &c : item.children) {
            const QString host = c.toMap().value(u"hostname"_s).toString();
            if (const ZDServicePtr service = serviceFor(host)) {
                calls.nuvellManualInstall(item.downloadURL, service);
                ++report.handed;
            }
        }
    }
    return report;
}

QStringList ZDSoftwareUpdateItems::needingRights(const QList<ZDNuvellItem> &items)
{
    QStringList titles;
    for (const ZDNuvellItem &item : items)
        if (item.selected && !item.own && item.type == QLatin1String("package"))
            titles << item.title;
    return titles;
}

QString ZDSoftwareUpdateItems::selfUpdateURL(const QList<ZDNuvellItem> &items)
{
    for (const ZDNuvellItem &item : items) {
        if (item.own && item.selected)
            return item.downloadURL;
    }
    return {};
}
