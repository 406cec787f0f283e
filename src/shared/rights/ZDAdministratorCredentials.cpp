#include "rights/ZDAdministratorCredentials.h"

#include "process/ZDTaskEx.h"

#include <QByteArrayView>
#include <QRandomGenerator>

#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/mman.h>
#include <unistd.h>

// Bytes that are overwritten before their memory is given back.
class ZDAdministratorCredentials::Secret
{
public:
    explicit Secret(const QString &text)
    {
        QByteArray utf8 = text.toUtf8();
        m_size = size_t(utf8.size());
        m_data = std::make_unique<char[]>(m_size + 1);
        ::mlock(m_data.get(), m_size + 1); // best effort: keep it out of swap
        std::memcpy(m_data.get(), utf8.constData(), m_size);
        ::explicit_bzero(utf8.data(), size_t(utf8.size()));
    }
    ~Secret()
    {
        ::explicit_bzero(m_data.get(), m_size + 1);
        ::munlock(m_data.get(), m_size + 1);
    }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;

    const char *data() const { return m_data.get(); }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    // A terminal would act on these instead of passing them on.
    bool hasControlCharacters() const
    {
        for (size_t i = 0; i < m_size; ++i) {
            const auto c = static_cast<unsigned char>(m_data[i]);
            if (c < 0x20 || c == 0x7f)
                return true;
        }
        return false;
    }

private:
    std::unique_ptr<char[]> m_data;
    size_t m_size = 0;
};

namespace {

const QString kShell = QStringLiteral("/bin/sh");
const QString kTrue = QStringLiteral("/bin/true");

// Long enough for two authentications with the failure delay of each.
constexpr auto kAuthenticationTimeout = std::chrono::seconds(30);

QString firstExisting(std::initializer_list<const char *> candidates)
{
    for (const char *c : candidates)
        if (::access(c, X_OK) == 0)
            return QString::fromLatin1(c);
    return {};
}

QString suTool() { return firstExisting({"/usr/bin/su", "/bin/su"}); }
QString sudoTool() { return firstExisting({"/usr/bin/sudo", "/bin/sudo"}); }

// Names that su could mistake for options or that no account can have.
bool plausibleUserName(const QString &name)
{
    if (name.isEmpty() || name.size() > 256 || name.startsWith(QLatin1Char('-')) || name.startsWith(QLatin1Char('+')))
        return false;
    for (const QChar c : name)
        if (c.isSpace() || c.category() == QChar::Other_Control || c == QLatin1Char(':') || c == QLatin1Char('/'))
            return false;
    return true;
}

// Output of the authentication phase; it is wiped because a misbehaving tool
// could echo what it was sent.
class OutputWindow
{
public:
    ~OutputWindow() { clear(); }
    char *space() { makeRoom(); return m_data + m_size; }
    size_t room() const { return sizeof m_data - m_size; }
    void grew(size_t n) { m_size += n; }
    void clear()
    {
        ::explicit_bzero(m_data, sizeof m_data);
        m_size = 0;
    }
    bool contains(const QByteArray &needle) const
    {
        return QByteArrayView(m_data, qsizetype(m_size)).contains(needle);
    }
    // A password prompt waiting for an answer: the last line asks for it.
    bool endsWithPasswordPrompt() const
    {
        size_t end = m_size;
        while (end > 0 && (m_data[end - 1] == ' ' || m_data[end - 1] == '\t'))
            --end;
        if (end == 0 || m_data[end - 1] != ':')
            return false;
        size_t start = end;
        while (start > 0 && m_data[start - 1] != '\n' && m_data[start - 1] != '\r')
            --start;
        return QByteArrayView(m_data + start, qsizetype(end - start)).toByteArray().toLower().contains("password");
    }

private:
    void makeRoom()
    {
        if (room() > 0)
            return;
        // Prompts and markers are short; the tail is all that matters.
        constexpr size_t keep = 1024;
        std::memmove(m_data, m_data + m_size - keep, keep);
        ::explicit_bzero(m_data + keep, sizeof m_data - keep);
        m_size = keep;
    }
    char m_data[8192] {};
    size_t m_size = 0;
};

QByteArray nonce(const char *prefix)
{
    quint64 words[2];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(prefix) + QByteArray::number(words[0], 16) + QByteArray::number(words[1], 16);
}

// The password as PAM's conversation hands it out.
struct PamAnswer
{
    const char *data;
    size_t size;
};

int pamConversation(int count, const pam_message **messages, pam_response **responses, void *context)
{
    const auto *secret = static_cast<const PamAnswer *>(context);
    if (count <= 0 || count > PAM_MAX_NUM_MSG)
        return PAM_CONV_ERR;
    auto *replies = static_cast<pam_response *>(std::calloc(size_t(count), sizeof(pam_response)));
    if (!replies)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        switch (messages[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            replies[i].resp = static_cast<char *>(std::malloc(secret->size + 1));
            if (replies[i].resp) {
                std::memcpy(replies[i].resp, secret->data, secret->size);
                replies[i].resp[secret->size] = '\0';
                break;
            }
            [[fallthrough]];
        case PAM_PROMPT_ECHO_ON: // a question we have no answer for
            for (int j = 0; j < count; ++j) {
                if (replies[j].resp) {
                    ::explicit_bzero(replies[j].resp, std::strlen(replies[j].resp));
                    std::free(replies[j].resp);
                }
            }
            std::free(replies);
            return PAM_CONV_ERR;
        default:
            break;
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}

bool pamAccepts(const QString &username, PamAnswer answer)
{
    const QByteArray user = username.toUtf8();
    const pam_conv conversation {pamConversation, &answer};
    pam_handle_t *handle = nullptr;
    // The stack that decides who may use sudo; su's would let root in unasked.
    int status = ::pam_start("sudo", user.constData(), &conversation, &handle);
    if (status != PAM_SUCCESS)
        return false;
    status = ::pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS)
        status = ::pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    ::pam_end(handle, status);
    return status == PAM_SUCCESS;
}

bool mayAdminister(const QString &username)
{
    const QByteArray user = username.toUtf8();
    passwd pw {};
    passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(user.constData(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found)
        return false;
    if (found->pw_uid == 0)
        return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(user.constData(), found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(size_t(count));
        if (::getgrouplist(user.constData(), found->pw_gid, groups.data(), &count) < 0)
            count = 0;
    }
    groups.resize(size_t(count));
    for (const gid_t gid : groups) {
        group gr {};
        group *g = nullptr;
        std::vector<char> gbuffer(65536);
        if (::getgrgid_r(gid, &gr, gbuffer.data(), gbuffer.size(), &g) == 0 && g
            && (std::strcmp(g->gr_name, "sudo") == 0 || std::strcmp(g->gr_name, "wheel") == 0))
            return true;
    }
    // An entry of its own in the sudoers policy counts as well.
    const QString sudo = sudoTool();
    return !sudo.isEmpty()
        && ZDTaskEx::terminationCodeFromTask(sudo, {QStringLiteral("-n"), QStringLiteral("-l"), QStringLiteral("-U"),
                                                    username, QStringLiteral("--"), kTrue})
        == 0;
}

} // namespace

ZDAdministratorCredentials::ZDAdministratorCredentials(const QString &username, const QString &password)
    : m_username(username), m_secret(std::make_unique<Secret>(password))
{
}

ZDAdministratorCredentials::~ZDAdministratorCredentials() = default;

bool ZDAdministratorCredentials::isUsable() const
{
    return plausibleUserName(m_username) && !m_secret->empty() && !m_secret->hasControlCharacters();
}

bool ZDAdministratorCredentials::checkAsRoot() const
{
    return isUsable() && pamAccepts(m_username, {m_secret->data(), m_secret->size()}) && mayAdminister(m_username);
}

bool ZDAdministratorCredentials::checkThroughSu() const
{
    Start check = startAsRoot(kTrue, {});
    if (check.outcome != Outcome::Started)
        return false;
    check.terminal->drain();
    return check.terminal->wait() == 0;
}

// su checks the administrator's password and becomes that account; sudo then
// checks it again and becomes root. Everything after the fixed command text
// travels as positional parameters, never as shell source. The marker line,
// printed by root just before the tool replaces it, tells that both accepted.
ZDAdministratorCredentials::Start ZDAdministratorCredentials::startAsRoot(const QString &tool,
                                                                    const QStringList &arguments) const
{
    Start result;
    const QString su = suTool();
    const QString sudo = sudoTool();
    if (su.isEmpty() || sudo.isEmpty() || !isUsable())
        return result;

    const QByteArray prompt = nonce("kestra-auth-") + ':';
    const QByteArray marker = nonce("kestra-run-");
    static const QString script = QStringLiteral(
        "p=$1 m=$2 s=$3; shift 3; "
        "exec \"$s\" -S -p \"$p\" -k -- /bin/sh -c 'printf \"%s\\n\" \"$0\"; exec \"$@\"' \"$m\" \"$@\"");
    QStringList suArguments {QStringLiteral("-s"), kShell, QStringLiteral("-c"), script, QStringLiteral("--"),
                             m_username, QStringLiteral("sh"), QString::fromLatin1(prompt),
                             QString::fromLatin1(marker), sudo, tool};
    suArguments += arguments;
    // Nothing secret here: the child's environment can be read by others.
    const QMap<QString, QString> environment {
        {QStringLiteral("LC_ALL"), QStringLiteral("C")},
        {QStringLiteral("LANG"), QStringLiteral("C")},
        {QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin")},
        {QStringLiteral("TERM"), QStringLiteral("dumb")},
    };

    try {
        result.terminal = std::make_unique<ZDPseudoTerminal>(su, suArguments, environment);
    } catch (const std::system_error &e) {
        result.outcome = Outcome::NoTerminal;
        result.error = e.code().value();
        return result;
    }

    enum class Phase { Su, Sudo, Running } phase = Phase::Su;
    OutputWindow output;
    auto answer = [&] {
        output.clear();
        return result.terminal->write(m_secret->data(), m_secret->size())
            && result.terminal->write("\n", 1);
    };
    const auto deadline = ZDPseudoTerminal::Clock::now() + kAuthenticationTimeout;
    for (;;) {
        size_t n = 0;
        if (result.terminal->read(output.space(), output.room(), n, deadline) != ZDPseudoTerminal::ReadResult::Data)
            break;
        output.grew(n);
        if (phase != Phase::Su && output.contains(marker)) {
            output.clear();
            result.outcome = Outcome::Started;
            return result;
        }
        const bool prompted = output.contains(prompt) || output.endsWithPasswordPrompt();
        if (!prompted)
            continue;
        // A second question means the first answer was not accepted.
        if (phase == Phase::Running || (phase == Phase::Su && output.contains(prompt)))
            break;
        if (!answer())
            break;
        phase = phase == Phase::Su ? Phase::Sudo : Phase::Running;
    }
    result.terminal.reset(); // hangs up and reaps
    return result;
}
