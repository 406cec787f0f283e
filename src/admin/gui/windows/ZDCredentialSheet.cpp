#include "windows/ZDCredentialSheet.h"

#include "console/ZDAdminDefaults.h"
#include "console/ZDAdminSettings.h"
#include "ZDAlert.h"
#include "platform/ZDFormat.h"
#include "log/ZDLog.h"
#include "process/ZDThreads.h"

#include <QApplication>
#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include <utility>

struct ZDCredentialSheet::Pending
{
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    Answer answer;

    void complete(Answer a)
    {
        {
            std::lock_guard lock(mutex);
            if (done)
                return;
            answer = std::move(a);
            done = true;
        }
        answered.notify_all();
    }
};

namespace {

// The sheet is only touched on the GUI thread; a sheet that is gone answers Cancel.
ZDCredentialPrompt::Answer askSheet(const QPointer<ZDCredentialSheet> &sheet,
                                    const ZDCredentialPrompt::Request &request)
{
    if (!qApp || ZDThreads::isMainThread()) {
        ZDLog::appendLog(QStringLiteral("Error: trying to wait on main thread. Aborting..."));
        return ZDCredentialPrompt::Answer{};
    }
    auto pending = std::make_shared<ZDCredentialSheet::Pending>();
    // Blocking only until the sheet is up; the answer is waited for below.
    ZDThreads::runOnAndWait(qApp, [sheet, request, pending] {
        if (sheet)
            sheet->present(request, pending);
        else
            pending->complete(ZDCredentialPrompt::Answer{});
    });
    std::unique_lock lock(pending->mutex);
    pending->answered.wait(lock, [&] { return pending->done; });
    return pending->answer;
}

class SheetPrompt : public ZDCredentialPrompt
{
public:
    explicit SheetPrompt(ZDCredentialSheet *sheet) : m_sheet(sheet) {}
    Answer ask(const Request &request) override { return askSheet(m_sheet, request); }

private:
    const QPointer<ZDCredentialSheet> m_sheet;
};

} // namespace

ZDCredentialSheet::ZDCredentialSheet(QWidget *parent, QString settingsPath)
    : QDialog(parent), m_settingsPath(std::move(settingsPath))
{
    setWindowTitle(tr("Authorization"));
    setWindowModality(Qt::WindowModal);
    m_icon = new QLabel(this);
    m_icon->setFixedSize(48, 48);
    m_message = new QLabel(QString::fromLatin1(kNoHostText), this);
    m_message->setTextFormat(Qt::PlainText); // it names the computer as the network does
    m_message->setWordWrap(true);
    m_user = new QLineEdit(this);
    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    m_applyToAll = new QCheckBox(tr("Use for all selected computers"), this);
    m_keychain = new QCheckBox(tr("Remember password in the keyring"), this);
    {
        const auto settings = ZDAdminSettings::open(m_settingsPath);
        m_keychain->setChecked(
            ZDAdminDefaults::boolValue(*settings, QString::fromLatin1(ZDAdminDefaults::kAuthAddKeychain), true));
    }
    m_ok = new QPushButton(tr("OK"), this);
    m_ok->setDefault(true);
    m_skip = new QPushButton(tr("Skip"), this);
    m_cancel = new QPushButton(tr("Cancel"), this);

    auto *head = new QHBoxLayout;
    head->addWidget(m_icon);
    head->addWidget(m_message, 1);
    auto *form = new QFormLayout;
    form->addRow(tr("Name:"), m_user);
    form->addRow(tr("Password:"), m_password);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_skip);
    buttons->addStretch(1);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_ok);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(head);
    layout->addLayout(form);
    layout->addWidget(m_applyToAll);
    layout->addWidget(m_keychain);
    layout->addLayout(buttons);

    // The person's choice is kept for the next sheet, as the default was.
    connect(m_keychain, &QCheckBox::clicked, this, [this](bool on) {
        const auto settings = ZDAdminSettings::open(m_settingsPath);
        settings->setValue(QString::fromLatin1(ZDAdminDefaults::kAuthAddKeychain), on ? 1 : 0);
        settings->sync();
    });
    connect(m_ok, &QPushButton::clicked, this, [this] { finish(Result::OK); });
    connect(m_skip, &QPushButton::clicked, this, [this] { finish(Result::Skip); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { finish(Result::Cancel); });
}

ZDCredentialSheet::~ZDCredentialSheet()
{
    if (m_pending)
        m_pending->complete(Answer{});
}

std::shared_ptr<ZDCredentialPrompt> ZDCredentialSheet::prompt()
{
    if (!m_prompt)
        m_prompt = std::make_shared<SheetPrompt>(this);
    return m_prompt;
}

ZDCredentialPrompt::Answer ZDCredentialSheet::ask(const Request &request)
{
    return askSheet(QPointer<ZDCredentialSheet>(this), request);
}

QString ZDCredentialSheet::messageText() const
{
    return m_message->text();
}

bool ZDCredentialSheet::isAsking() const
{
    return m_pending != nullptr;
}

void ZDCredentialSheet::present(const Request &request, const std::shared_ptr<Pending> &pending)
{
    if (m_pending) {
        // One question at a time; a second one is not shown over the first.
        Answer skip;
        skip.result = Result::Skip;
        pending->complete(std::move(skip));
        return;
    }
    m_pending = pending;
    const QString name = request.displayName.isEmpty() ? request.hostName : request.displayName;
    m_message->setText(name.isEmpty() ? QString::fromLatin1(kNoHostText) : name);
    QPixmap icon;
    if (request.service) {
        const QByteArray png = request.service->icon();
        if (!png.isEmpty())
            icon = QPixmap::fromImage(
                QImage::fromData(png).scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    }
    m_icon->setPixmap(icon);
    m_user->setText(request.suggestedUser);
    m_password->clear();
    show();
    raise();
    m_password->setFocus();
    if (request.previousRefused)
        ZDAlert::alertSheet(QStringLiteral("Invalid username or password"), tr("OK"), QString(), QString(),
                            zdFormat(QStringLiteral("Please enter a valid admin username and password for %@."), name),
                            this, false);
}

void ZDCredentialSheet::finish(Result result)
{
    const std::shared_ptr<Pending> pending = std::exchange(m_pending, nullptr);
    Answer answer;
    answer.result = result;
    if (result == Result::OK) {
        answer.user = m_user->text();
        answer.password = m_password->text();
        answer.applyToAll = m_applyToAll->isChecked();
        answer.keepInKeychain = m_keychain->isChecked();
    }
    if (result == Result::Cancel)
        m_user->clear();
    m_password->clear();
    hide();
    if (pending)
        pending->complete(std::move(answer));
}

void ZDCredentialSheet::cancelPending()
{
    if (m_pending)
        finish(Result::Cancel);
}

void ZDCredentialSheet::reject()
{
    finish(Result::Cancel);
}
