#pragma once
// A message shown as a window-modal dialog on a window. Any thread may ask: the
// dialog is always made and shown on the main thread. A caller that waits for the
// answer keeps the main thread's events flowing when it is the main thread, and
// sleeps until answered otherwise.
//
// Answers: 1 for the default button, 0 for the alternate button, -1 for the other
// button (and for a dialog that went away unanswered). A form that does not wait,
// and a refused request, return -1.
#include <QByteArray>
#include <QMetaType>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <condition_variable>
#include <memory>
#include <mutex>

class QEventLoop;
class QMessageBox;
class QObject;
class QWidget;

class ZDAlert : public std::enable_shared_from_this<ZDAlert>
{
public:
    static constexpr int kDefaultReturn = 1;
    static constexpr int kAlternateReturn = 0;
    static constexpr int kOtherReturn = -1;

    // Waits; the default button only.
    static int alertSheet(const QString &messageText, const QString &informativeText, QWidget *parentWindow);
    static int alertSheet(const QString &messageText, const QString &defaultButton, const QString &alternateButton,
                          const QString &otherButton, const QString &informativeText, QWidget *parentWindow,
                          bool block);
    // The full form. The end operation is the delegate's invokable method (Q_INVOKABLE
    // or slot) named didEndSelector, "alertDidEnd" when empty, taking (ZDAlert *, int);
    // it runs in the delegate's thread once the user answers. A suppression binding
    // shows a check box bound to that key of the program's user settings.
    static int alertSheet(const QString &messageText, const QString &defaultButton, const QString &alternateButton,
                          const QString &otherButton, const QString &informativeText, QWidget *parentWindow,
                          QObject *delegate, const QByteArray &didEndSelector, bool block,
                          std::shared_ptr<ZDAlert> alertObject = {}, const QString &suppressionBinding = QString());
    // Waits; answers 1 by itself after `interval` whole seconds.
    static int timedAlertSheet(const QString &messageText, const QString &defaultButton,
                               const QString &alternateButton, const QString &otherButton,
                               const QString &informativeText, QWidget *parentWindow, int interval);

    ZDAlert() = default;
    ZDAlert(const ZDAlert &) = delete;
    ZDAlert &operator=(const ZDAlert &) = delete;
    ~ZDAlert();

    // Main thread: makes and shows the dialog for a request built by the full form
    // (keys "messageText", "defaultButtonTitle", "alternateButtonTitle",
    // "otherButtonTitle", "informativeText", "didEndSelector", "suppressionBinding").
    void alertSheetWithDictionary(const QVariantMap &request);
    // Main thread: keeps the answer, closes the dialog and wakes the waiting caller.
    void alertDidEnd(int returnCode);
    // Before showing: the dialog answers 1 by itself this many seconds after it appears.
    void defaultReturnAfterTimeInterval(int seconds);

    bool alertEnded() const;
    int returnCode() const;
    QWidget *parentWindow() const { return m_parent; }
    // Main thread; null before the dialog is shown and after it is answered.
    QMessageBox *alert() const { return m_box; }

private:
    void finish(int returnCode, bool answered, bool boxGone = false);
    void notifyDelegate(int returnCode);
    int waitForAnswer();

    QPointer<QWidget> m_parent;
    QPointer<QObject> m_delegate;
    QByteArray m_endMethod;
    QPointer<QMessageBox> m_box;
    QEventLoop *m_loop = nullptr; // the main thread's waiting loop, while it waits
    int m_timeout = -1;

    mutable std::mutex m_lock;
    std::condition_variable m_answered;
    bool m_ended = false;
    int m_returnCode = kOtherReturn;
};

Q_DECLARE_METATYPE(ZDAlert *)
