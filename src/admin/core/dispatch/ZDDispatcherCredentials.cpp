// The dispatcher's credential loop: the cache, the keychain, then the person at
// the console, one computer at a time.
#include "dispatch/ZDDispatcher.h"

#include "dispatch/ZDCredentialPrompt.h"
#include "dispatch/ZDCredentialStore.h"
#include "fleet/ZDConsoleSecurity.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"

namespace {

using namespace Qt::StringLiterals;

const QString kAuthName = QString::fromLatin1(ZDCredentialStore::kAuthName);
const QString kAuthPass = QString::fromLatin1(ZDCredentialStore::kAuthPass);

QString hostOf(const ZDServicePtr &service)
{
    const QString host = service->hostName();
    return host.isEmpty() ? service->name() : host;
}

bool isValue(const QVariant &v)
{
    return v.isValid() && !v.isNull();
}

} // namespace

// ---- credentials -----------------------------------------------------------------------------

ZDDispatcher::Validation ZDDispatcher::validateAuthorization(const QString &user, const QVariant &encryptedPassword,
                                                             const ZDServicePtr &service)
{
    if (!service)
        return Validation::NoAnswer;
    const QString op = QString::fromLatin1(ZDOrv::kValidateUsernamePassword);
    try {
        const ZDRemoteProxyPtr proxy = service->proxyObject();
        // An agent without the check takes the credentials to the task itself.
        if (proxy && !proxy->respondsToSelector(op))
            return Validation::Accepted;
    } catch (const std::exception &e) {
        linkFailed(service, e, "-[AppController validateAuthorization:password:forService:]");
        return Validation::NoAnswer;
    }
    const QVariant answer = objectFromRemoteMethod(op, user, encryptedPassword, service);
    // No answer is not a refusal: a stored password must survive a lost link.
    if (!isValue(answer))
        return Validation::NoAnswer;
    return answer.toBool() ? Validation::Accepted : Validation::Refused;
}

std::optional<QVariantMap> ZDDispatcher::credentialsForService(const ZDServicePtr &service, bool taskVariant)
{
    const QString key = service->hostKey();
    // Stored passwords are the agent key's, not the name's.
    const QString host = service->credentialKey();
    m_credentials->adoptLegacyPassword(service->credentialHost(), ZDConsoleSecurity::pinKey(*service), host);
    bool keychainRefused = false; // a refused stored password is not taken again
    for (int round = 0; round < m_maxPromptsPerComputer; ++round) {
        bool justChecked = false;
        std::optional<QVariantMap> entry = m_credentials->entry(key);
        if (!entry || !entry->contains(kAuthName)) {
            ZDLog::appendLog(u"Checking keychain..."_s);
            const QString user = m_credentials->storedUser(host);
            const QString stored = keychainRefused ? QString() : m_credentials->keychainPassword(user, host);
            if (!stored.isNull()) {
                ZDLog::appendLog(u"Taking stored password from keychain."_s);
                m_credentials->setEntry(key, ZDCredentialStore::makeEntry(user, stored));
            } else {
                switch (showAuthDialogAndLoop(service)) {
                case Asked::Answered:
                    justChecked = true;
                    break;
                case Asked::Skipped:
                    ZDLog::appendLog(u"User skipped authorization dialog."_s);
                    if (taskVariant)
                        m_authSkipped = false;
                    fail(service, u"User skipped authorization dialog."_s);
                    return std::nullopt;
                case Asked::Cancelled:
                    fail(service, u"Authorization canceled."_s);
                    return std::nullopt;
                case Asked::Failed:
                    return std::nullopt;
                }
            }
        }
        if (m_cancelled)
            return std::nullopt;
        entry = m_credentials->entry(key);
        if (!entry || !entry->contains(kAuthName))
            return std::nullopt;
        if (justChecked)
            return entry;
        switch (validateAuthorization(entry->value(kAuthName).toString(), entry->value(kAuthPass), service)) {
        case Validation::Accepted:
            return entry;
        case Validation::NoAnswer:
            fail(service, u"No answer to the credential check"_s);
            return std::nullopt;
        case Validation::Refused:
            m_credentials->removeEntry(key);
            {
                const QString user = m_credentials->storedUser(host);
                if (!user.isEmpty())
                    m_credentials->deleteKeychainPassword(user, host);
            }
            keychainRefused = true;
            break;
        }
    }
    fail(service, u"Invalid username or password"_s);
    return std::nullopt;
}

ZDDispatcher::Asked ZDDispatcher::showAuthDialogAndLoop(const ZDServicePtr &service)
{
    const std::shared_ptr<ZDCredentialPrompt> asker = prompt();
    if (!asker) {
        fail(service, u"No one to ask for credentials"_s);
        return Asked::Failed;
    }
    {
        // One question at a time; the others wait for it, or for a cancel.
        std::unique_lock lock(m_mutex);
        m_condition.wait(lock, [this] { return !m_suspended || m_cancelled; });
        if (m_cancelled)
            return Asked::Cancelled;
        m_suspended = true;
    }
    const auto release = [this] {
        {
            std::lock_guard lock(m_mutex);
            m_suspended = false;
        }
        m_condition.notify_all();
    };
    ZDLog::appendLog(u"Preparing to show authorization dialog..."_s);
    m_authSkipped = false;
    ZDLog::appendLog(u"Showing authorization dialog..."_s);

    ZDCredentialPrompt::Request request;
    request.service = service;
    request.hostName = service->hostName();
    request.displayName = service->name().isEmpty() ? hostOf(service) : service->name();
    const std::optional<QVariantMap> cached = m_credentials->entry(service->hostKey());
    request.suggestedUser = cached ? cached->value(kAuthName).toString() : QString();
    if (request.suggestedUser.isEmpty())
        request.suggestedUser = m_credentials->storedUser(service->credentialKey());
    if (request.suggestedUser.isEmpty())
        request.suggestedUser = ZDLocalPaths::username();

    for (int round = 0; round < m_maxPromptsPerComputer; ++round) {
        const ZDCredentialPrompt::Answer answer = asker->ask(request);
        if (answer.result == ZDCredentialPrompt::Result::Cancel || m_cancelled) {
            ZDLog::appendLog(u"Ending authorization..."_s);
            ZDLog::appendLog(u"Authorization canceled."_s);
            m_credentials->clear();
            cancelProcessing();
            release();
            return Asked::Cancelled;
        }
        if (answer.result == ZDCredentialPrompt::Result::Skip) {
            m_authSkipped = true;
            release();
            return Asked::Skipped;
        }
        const QVariantMap entry = ZDCredentialStore::makeEntry(answer.user, answer.password);
        switch (validateAuthorization(answer.user, entry.value(kAuthPass), service)) {
        case Validation::Accepted:
            ZDLog::appendLog(u"Authorizing..."_s);
            applyAnswer(service, answer.user, answer.password, answer.applyToAll, answer.keepInKeychain);
            release();
            return Asked::Answered;
        case Validation::Refused:
            request.previousRefused = true;
            request.suggestedUser = answer.user;
            break;
        case Validation::NoAnswer:
            fail(service, u"No answer to the credential check"_s);
            release();
            return Asked::Failed;
        }
    }
    fail(service, u"Invalid username or password"_s);
    release();
    return Asked::Failed;
}

void ZDDispatcher::applyAnswer(const ZDServicePtr &service, const QString &user, const QString &password,
                               bool applyToAll, bool keepInKeychain)
{
    const QVariantMap entry = ZDCredentialStore::makeEntry(user, password);
    const QString host = service->credentialKey();
    QStringList hosts{host};
    if (applyToAll) {
        for (const ZDServicePtr &s : selectedServices()) {
            if (s == service)
                continue;
            const QString h = s->credentialKey();
            if (keepInKeychain)
                m_credentials->storeKeychainPassword(user, password, h);
            m_credentials->setEntry(s->hostKey(), entry, true);
            hosts << h;
        }
    }
    m_credentials->setStoredUser(hosts, user);
    if (keepInKeychain)
        m_credentials->storeKeychainPassword(user, password, host);
    m_credentials->setEntry(service->hostKey(), entry);
    m_credentials->restartLifetime();
    std::lock_guard lock(m_mutex);
    m_cancelled = false;
}
