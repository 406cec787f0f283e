#include "ZDAlert.h"

#include "platform/ZDFormat.h"
#include "platform/ZDMainBundle.h"
#include "ZDPlainText.h"
#include "log/ZDSystemLog.h"
#include "process/ZDThreads.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QMessageBox>
#include <QMetaMethod>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>

namespace {

const QString kMessageText = QStringLiteral("messageText");
const QString kDefaultTitle = QStringLiteral("defaultButtonTitle");
const QString kAlternateTitle = QStringLiteral("alternateButtonTitle");
const QString kOtherTitle = QStringLiteral("otherButtonTitle");
const QString kInformativeText = QStringLiteral("informativeText");
const QString kDidEndSelector = QStringLiteral("didEndSelector");
const QString kSuppressionBinding = QStringLiteral("suppressionBinding");

QByteArray endMethodSignature(const QByteArray &selector)
{
    QByteArray signature = selector.isEmpty() ? QByteArrayLiteral("alertDidEnd") : selector;
    if (!signature.contains('('))
        signature += "(ZDAlert*,int)";
    return QMetaObject::normalizedSignature(signature.constData());
}

void putIfGiven(QVariantMap &request, const QString &key, const QString &value)
{
    if (!value.isEmpty())
        request.insert(key, value);
}

} // namespace

int ZDAlert::alertSheet(const QString &messageText, const QString &informativeText, QWidget *parentWindow)
{
    return alertSheet(messageText, QString(), QString(), QString(), informativeText, parentWindow, true);
}

int ZDAlert::alertSheet(const QString &messageText, const QString &defaultButton, const QString &alternateButton,
                        const QString &otherButton, const QString &informativeText, QWidget *parentWindow, bool block)
{
    return alertSheet(messageText, defaultButton, alternateButton, otherButton, informativeText, parentWindow, nullptr,
                      QByteArray(), block);
}

int ZDAlert::alertSheet(const QString &messageText, const QString &defaultButton, const QString &alternateButton,
                        const QString &otherButton, const QString &informativeText, QWidget *parentWindow,
                        QObject *delegate, const QByteArray &didEndSelector, bool block,
                        std::shared_ptr<ZDAlert> alertObject, const QString &suppressionBinding)
{
    std::shared_ptr<ZDAlert> alert = alertObject ? std::move(alertObject) : std::make_shared<ZDAlert>();
    const QByteArray endMethod = endMethodSignature(didEndSelector);
    alert->m_parent = parentWindow;
    alert->m_delegate = delegate;
    alert->m_endMethod = delegate ? endMethod : QByteArray();
    {
        std::lock_guard<std::mutex> guard(alert->m_lock);
        alert->m_ended = false;
        alert->m_returnCode = kOtherReturn;
    }

    if (delegate && delegate->metaObject()->indexOfMethod(endMethod.constData()) < 0) {
        zdSystemLog(zdFormat(QStringLiteral("Alert error: delegate does not respond to selector %@"),
                             QString::fromLatin1(endMethod)));
        return kOtherReturn;
    }
    QApplication *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (!app) {
        zdSystemLog(zdFormat(QStringLiteral("Alert error: no application to show \"%@\""), messageText));
        return kOtherReturn;
    }

    QVariantMap request;
    putIfGiven(request, kMessageText, messageText);
    putIfGiven(request, kDefaultTitle, defaultButton);
    putIfGiven(request, kAlternateTitle, alternateButton);
    putIfGiven(request, kOtherTitle, otherButton);
    putIfGiven(request, kInformativeText, informativeText);
    if (delegate)
        request.insert(kDidEndSelector, QString::fromLatin1(endMethod));
    putIfGiven(request, kSuppressionBinding, suppressionBinding);

    ZDThreads::runOnAndWait(app, [alert, request] { alert->alertSheetWithDictionary(request); });
    if (!block)
        return kOtherReturn;
    return alert->waitForAnswer();
}

int ZDAlert::timedAlertSheet(const QString &messageText, const QString &defaultButton,
                             const QString &alternateButton, const QString &otherButton,
                             const QString &informativeText, QWidget *parentWindow, int interval)
{
    auto alert = std::make_shared<ZDAlert>();
    alert->defaultReturnAfterTimeInterval(interval);
    return alertSheet(messageText, defaultButton, alternateButton, otherButton, informativeText, parentWindow, nullptr,
                      QByteArray(), true, alert);
}

ZDAlert::~ZDAlert() = default;

void ZDAlert::alertSheetWithDictionary(const QVariantMap &request)
{
    // The dialog's handlers keep the alert alive until it is answered.
    const std::shared_ptr<ZDAlert> self = weak_from_this().lock();
    if (!self) {
        zdSystemLog(QStringLiteral("Alert error: alert object not held by a shared pointer"));
        return;
    }
    if (QMessageBox *old = m_box) {
        QObject::disconnect(old, nullptr, old, nullptr);
        QObject::disconnect(old, &QObject::destroyed, qApp, nullptr);
        old->hide();
        old->deleteLater();
    }

    QWidget *window = m_parent ? m_parent->window() : nullptr;
    // Owned by the parent window; finish() deletes it sooner.
    auto *box = new QMessageBox(window);
    // Alerts carry names and texts from the network: never markup.
    box->setTextFormat(Qt::PlainText);
    box->setText(request.value(kMessageText).toString());
    box->setInformativeText(request.value(kInformativeText).toString());
    ZDPlainText::makePlain(box);

    const QString defaultTitle = request.value(kDefaultTitle).toString();
    const QString alternateTitle = request.value(kAlternateTitle).toString();
    const QString otherTitle = request.value(kOtherTitle).toString();
    QPushButton *defaultButton =
        defaultTitle.isEmpty() ? box->addButton(QMessageBox::Ok) : box->addButton(defaultTitle, QMessageBox::AcceptRole);
    QPushButton *alternateButton =
        alternateTitle.isEmpty() ? nullptr : box->addButton(alternateTitle, QMessageBox::RejectRole);
    // Any other button, the other one included, answers -1.
    if (!otherTitle.isEmpty())
        box->addButton(otherTitle, QMessageBox::DestructiveRole);
    box->setDefaultButton(defaultButton);
    if (alternateButton)
        box->setEscapeButton(alternateButton);

    const QString suppressionKey = request.value(kSuppressionBinding).toString();
    if (!suppressionKey.isEmpty()) {
        auto *suppress = new QCheckBox(QMessageBox::tr("Do not show this message again"));
        const QVariant current = ZDMainBundle::userSetting(suppressionKey);
        suppress->setChecked(current.typeId() == QMetaType::Bool && current.toBool());
        box->setCheckBox(suppress);
        QObject::connect(suppress, &QCheckBox::toggled, suppress,
                         [suppressionKey](bool on) { ZDMainBundle::setUserSetting(suppressionKey, on); });
    }

    QObject::connect(box, &QMessageBox::buttonClicked, box,
                     [self, defaultButton, alternateButton](QAbstractButton *clicked) {
                         const QAbstractButton *button = clicked;
                         const int code = button == defaultButton ? kDefaultReturn
                                          : button == alternateButton ? kAlternateReturn
                                                                      : kOtherReturn;
                         self->finish(code, true);
                     });
    QObject::connect(box, &QDialog::finished, box, [self] { self->finish(kOtherReturn, true); });
    QObject::connect(box, &QObject::destroyed, qApp, [self] { self->finish(kOtherReturn, false, true); });
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, box, [self] { self->finish(kOtherReturn, false); });
    if (m_timeout >= 0)
        QTimer::singleShot(std::chrono::seconds(m_timeout), box, [self] { self->finish(kDefaultReturn, false); });

    m_box = box;
    if (window) {
        window->raise();
        window->activateWindow();
        box->setWindowModality(Qt::WindowModal);
    } else {
        box->setWindowModality(Qt::ApplicationModal);
    }
    box->show();
}

void ZDAlert::alertDidEnd(int returnCode)
{
    finish(returnCode, false);
}

void ZDAlert::defaultReturnAfterTimeInterval(int seconds)
{
    m_timeout = std::max(0, seconds);
}

bool ZDAlert::alertEnded() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_ended;
}

int ZDAlert::returnCode() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_returnCode;
}

void ZDAlert::finish(int returnCode, bool answered, bool boxGone)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_ended)
            return;
        m_ended = true;
        m_returnCode = returnCode;
    }
    m_answered.notify_all();
    if (m_loop)
        m_loop->quit();
    QMessageBox *box = boxGone ? nullptr : m_box.data();
    m_box = nullptr;
    if (box) {
        QObject::disconnect(box, &QObject::destroyed, qApp, nullptr);
        box->hide();
        box->deleteLater();
    }
    if (answered)
        notifyDelegate(returnCode);
}

void ZDAlert::notifyDelegate(int returnCode)
{
    QObject *delegate = m_delegate;
    if (!delegate || m_endMethod.isEmpty())
        return;
    const int index = delegate->metaObject()->indexOfMethod(m_endMethod.constData());
    if (index < 0)
        return;
    const QMetaMethod method = delegate->metaObject()->method(index);
    const QPointer<QObject> guard(delegate);
    ZDThreads::runOn(delegate, [self = shared_from_this(), guard, method, returnCode] {
        if (guard)
            method.invoke(guard.data(), Qt::DirectConnection, Q_ARG(ZDAlert *, self.get()), Q_ARG(int, returnCode));
    });
}

int ZDAlert::waitForAnswer()
{
    if (ZDThreads::isMainThread()) {
        QEventLoop loop;
        if (!alertEnded()) {
            m_loop = &loop;
            loop.exec();
            m_loop = nullptr;
        }
        // Only the application quitting ends the loop unanswered.
        if (!alertEnded())
            finish(kOtherReturn, false);
    } else {
        std::unique_lock<std::mutex> guard(m_lock);
        m_answered.wait(guard, [this] { return m_ended; });
    }
    return returnCode();
}
