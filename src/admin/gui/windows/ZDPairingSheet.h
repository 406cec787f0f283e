#pragma once
// The Pair... sheet of a computer: the code both ends show (to compare with what
// "KestraClient -pair" shows at the computer) and then root's verdict, in plain
// text. The pairing waits for root on a thread of its own; closing the sheet
// leaves it to end at the window's deadline, unseen.
#include "fleet/ZDService.h"

#include <QDialog>

class QLabel;

class ZDPairingSheet : public QDialog
{
    Q_OBJECT
public:
    ZDPairingSheet(ZDServicePtr service, QWidget *parent = nullptr);
    // Opens a sheet for the computer and starts pairing; it deletes itself when closed.
    static ZDPairingSheet *open(const ZDServicePtr &service, QWidget *parent);

    QLabel *codeLabel() const { return m_code; }
    QLabel *resultLabel() const { return m_result; }

private:
    void start();

    ZDServicePtr m_service;
    QLabel *m_code;
    QLabel *m_result;
};
