#pragma once
// The credentials sheet: user name, password (not echoed), "apply to all" and
// "keychain" boxes, Skip, Cancel and OK. It answers the dispatcher's questions,
// which come on a worker thread: the question is handed to the GUI thread and the
// worker sleeps until the person answers; the GUI thread itself never waits.
#include "dispatch/ZDCredentialPrompt.h"

#include <QDialog>

#include <condition_variable>
#include <memory>
#include <mutex>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class ZDCredentialSheet : public QDialog, public ZDCredentialPrompt
{
    Q_OBJECT
public:
    // settingsPath: where the keychain box's state is kept (empty: the console's settings file).
    explicit ZDCredentialSheet(QWidget *parent = nullptr, QString settingsPath = QString());
    ~ZDCredentialSheet() override; // a pending question is answered Cancel

    // For ZDDispatcher::setCredentialPrompt: safe to keep after the sheet is gone
    // (questions are then answered Cancel).
    std::shared_ptr<ZDCredentialPrompt> prompt();

    // Any thread but the GUI thread (there it answers Cancel at once).
    Answer ask(const Request &request) override;

    QLineEdit *userField() const { return m_user; }
    QLineEdit *passwordField() const { return m_password; }
    QCheckBox *applyToAllBox() const { return m_applyToAll; }
    QCheckBox *keychainBox() const { return m_keychain; }
    QPushButton *okButton() const { return m_ok; }
    QPushButton *skipButton() const { return m_skip; }
    QPushButton *cancelButton() const { return m_cancel; }
    QString messageText() const;
    bool isAsking() const;

    static constexpr const char *kNoHostText = "Please enter an administrator username and password:";

    struct Pending;
    // GUI thread: shows the question; the answer completes pending.
    void present(const Request &request, const std::shared_ptr<Pending> &pending);

public Q_SLOTS:
    // The user or the console cancelled the operation.
    void cancelPending();

protected:
    void reject() override;

private:
    void finish(Result result);

    QLabel *m_icon = nullptr;
    QLabel *m_message = nullptr;
    QLineEdit *m_user = nullptr;
    QLineEdit *m_password = nullptr;
    QCheckBox *m_applyToAll = nullptr;
    QCheckBox *m_keychain = nullptr;
    QPushButton *m_ok = nullptr;
    QPushButton *m_skip = nullptr;
    QPushButton *m_cancel = nullptr;
    std::shared_ptr<Pending> m_pending; // GUI thread only
    std::shared_ptr<ZDCredentialPrompt> m_prompt;
    const QString m_settingsPath;
};
