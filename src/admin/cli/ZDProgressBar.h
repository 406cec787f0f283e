#pragma once
// A progress bar for batch work on standard error, drawn only when standard error
// is a terminal. Any thread may call; drawing is serialised.
#include <QObject>

#include <mutex>

class ZDProgressBar : public QObject
{
    Q_OBJECT
public:
    explicit ZDProgressBar(QObject *parent = nullptr);
    bool isVisible() const { return m_enabled; }

public Q_SLOTS:
    void start(int total);
    void advance();
    void finish();
    // Clears the line before someone else writes to the terminal.
    void suspend();

private:
    void drawLocked();

    const bool m_enabled;
    std::mutex m_mutex;
    int m_total = 0;
    int m_done = 0;
    bool m_drawn = false;
};
