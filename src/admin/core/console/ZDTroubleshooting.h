#pragma once
// The connection troubleshooter's diagnosis: which computer to show first and the
// advice for a computer's state (connected with an error code, unreachable, or no
// computer at all). Pure functions, so the window only shows what they say.
#include <QList>
#include <QString>

class ZDTroubleshooting
{
public:
    ZDTroubleshooting() = delete;

    static constexpr int kFallbackPort = 35011;

    struct State
    {
        bool connected = false;
        int errorCode = 0;
        bool manual = false; // entered by hand: no DNS-SD advice applies
    };

    // Connected: the text of its code plus the missing-clients advice; else the
    // unreachable advice.
    static QString textForState(const State &state);
    // No computer listed.
    static QString textForNoService();
    // A computer entered by hand that does not answer.
    static QString textForManualUnreachable();
    // The message for a connected computer's code alone.
    static QString messageForErrorCode(int code);
    // One item (1 to 11) of the common advice, with its leading blank lines.
    static QString commonAdviceItem(int item);
    static QString missingClientsAdvice();
    // The first computer that is not connected or has an error, else -1.
    static int firstTroubledIndex(const QList<State> &states);
};
