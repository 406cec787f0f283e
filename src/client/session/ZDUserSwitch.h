#pragma once
// Watches who is at the console (the user of logind's active session of seat0)
// on a thread of its own. The first user seen becomes this agent's owner; when
// the console user changes to the owner, userSwitchedIn(); to anyone else (or to
// nobody), userSwitchedOut(). Nobody at the console at start: no owner, no signals.
#include <QObject>
#include <QString>
#include <QThread>

class ZDUserSwitch : public QObject
{
    Q_OBJECT
public:
    ZDUserSwitch();
    ~ZDUserSwitch() override; // stops the thread

    // Starts the watch thread. False (one log line) without a system bus.
    bool setup();
    QString owner() const { return m_owner; }

Q_SIGNALS:
    void userSwitchedIn();
    void userSwitchedOut();

private Q_SLOTS:
    void watch();
    void consoleChanged();

private:
    QThread m_thread;
    QString m_current;
    QString m_owner;
};
