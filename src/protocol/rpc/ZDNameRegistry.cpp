#include "rpc/ZDNameRegistry.h"

#include <QCryptographicHash>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char kPrefix[] = "com.zendrel.pdo/";

// The abstract address for a name. Names too long for sun_path (108 bytes with
// the leading NUL) are claimed by their digest, which is unique just the same.
socklen_t addressFor(const QString &name, sockaddr_un *address)
{
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    QByteArray key = QByteArray(kPrefix) + name.toUtf8();
    if (key.size() > qsizetype(sizeof(address->sun_path)) - 1)
        key = QByteArray(kPrefix) + QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex();
    std::memcpy(address->sun_path + 1, key.constData(), size_t(key.size()));
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(key.size()));
}

} // namespace

ZDNameRegistry::~ZDNameRegistry()
{
    withdraw();
}

bool ZDNameRegistry::registerName(const QString &name)
{
    withdraw();
    if (name.isEmpty())
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address;
    const socklen_t length = addressFor(name, &address);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_name = name;
    return true;
}

void ZDNameRegistry::withdraw()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_name.clear();
}

bool ZDNameRegistry::isNameTaken(const QString &name)
{
    ZDNameRegistry probe;
    return !name.isEmpty() && !probe.registerName(name);
}
