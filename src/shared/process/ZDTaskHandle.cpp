#include "process/ZDTaskHandle.h"

#include "process/ZDChildProcess.h"

bool ZDTaskHandle::isSet() const
{
    return child() != nullptr;
}

pid_t ZDTaskHandle::pid() const
{
    const auto c = child();
    return c ? c->pid() : 0;
}

QString ZDTaskHandle::path() const
{
    const auto c = child();
    return c ? c->path() : QString();
}

bool ZDTaskHandle::isRunning() const
{
    const auto c = child();
    return c && c->isRunning();
}

bool ZDTaskHandle::terminate()
{
    // The child record outlives the slot, so signalling stays race-free after clear().
    const auto c = child();
    return c && c->terminate();
}

bool ZDTaskHandle::kill()
{
    const auto c = child();
    return c && c->kill();
}

void ZDTaskHandle::set(std::shared_ptr<ZDChildProcess> c)
{
    std::shared_ptr<ZDChildProcess> old;
    std::lock_guard lock(m_mutex);
    old.swap(m_child);
    m_child = std::move(c);
    if (m_expired && m_child)
        m_child->terminate();
}

void ZDTaskHandle::clear()
{
    std::shared_ptr<ZDChildProcess> old;
    std::lock_guard lock(m_mutex);
    old.swap(m_child);
    m_expired = false;
}

ZDTaskHandle::Expiry ZDTaskHandle::expire()
{
    std::lock_guard lock(m_mutex);
    if (!m_child) {
        m_expired = true;
        return Expiry::Deferred;
    }
    return m_child->terminate() ? Expiry::Signalled : Expiry::Nothing;
}

std::shared_ptr<ZDChildProcess> ZDTaskHandle::child() const
{
    std::lock_guard lock(m_mutex);
    return m_child;
}
