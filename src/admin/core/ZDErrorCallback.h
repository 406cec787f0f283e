#pragma once
// The console's one callback object, handed to every agent by reference
// (setErrorCallback:). Agents call it with errors, progress, task completion,
// configuration changes, maintenance requests and their disconnection; errors go
// into the error queue, the rest is re-emitted as signals on the object's thread.
#include "ZDRemoteObject.h"

#include <QObject>

class ZDErrorCallback : public QObject
{
    Q_OBJECT
public:
    explicit ZDErrorCallback(QObject *parent = nullptr);
    ~ZDErrorCallback() override;

    // The object agents receive by reference.
    ZDRemoteObjectPtr remoteObject() const;
};
