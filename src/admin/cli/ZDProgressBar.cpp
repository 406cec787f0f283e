#include "ZDProgressBar.h"

#include <cstdio>
#include <unistd.h>

ZDProgressBar::ZDProgressBar(QObject *parent) : QObject(parent), m_enabled(::isatty(STDERR_FILENO) == 1) {}

void ZDProgressBar::start(int total)
{
    std::lock_guard lock(m_mutex);
    m_total = total;
    m_done = 0;
    drawLocked();
}

void ZDProgressBar::advance()
{
    std::lock_guard lock(m_mutex);
    ++m_done;
    drawLocked();
}

void ZDProgressBar::finish()
{
    std::lock_guard lock(m_mutex);
    if (m_enabled && m_drawn)
        std::fputs("\r\033[K", stderr);
    m_drawn = false;
    m_total = 0;
}

void ZDProgressBar::suspend()
{
    std::lock_guard lock(m_mutex);
    if (m_enabled && m_drawn)
        std::fputs("\r\033[K", stderr);
    m_drawn = false;
}

void ZDProgressBar::drawLocked()
{
    if (!m_enabled || m_total <= 0)
        return;
    constexpr int kWidth = 40;
    const int done = std::min(m_done, m_total);
    const int filled = kWidth * done / m_total;
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %d/%d", bar, done, m_total);
    std::fflush(stderr);
    m_drawn = true;
}
