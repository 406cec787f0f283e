#pragma once
// Machine-wide registered names of vended connections. Linux has no port name
// server, so a name is claimed by binding the abstract unix socket
// "\0com.zendrel.pdo/<name>": the kernel allows one holder per network
// namespace and releases the name when the holder closes it or dies, so a
// crashed agent never leaves a stale registration behind.
#include <QString>

class ZDNameRegistry
{
public:
    ZDNameRegistry() = default;
    ~ZDNameRegistry(); // withdraws
    ZDNameRegistry(const ZDNameRegistry &) = delete;
    ZDNameRegistry &operator=(const ZDNameRegistry &) = delete;

    // Withdraws the name held so far, then claims `name`. False when another
    // process (or another registry of this one) holds it, or the name is empty.
    bool registerName(const QString &name);
    void withdraw();
    QString name() const { return m_name; }
    bool isRegistered() const { return m_fd >= 0; }

    // True when some process holds the name right now.
    static bool isNameTaken(const QString &name);

private:
    int m_fd = -1;
    QString m_name;
};
