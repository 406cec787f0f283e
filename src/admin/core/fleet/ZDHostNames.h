#pragma once
// One name per computer for people: "edit-suite-1.local." is shown as
// "edit-suite-1.local", and any of "edit-suite-1", "edit-suite-1.local" and
// "edit-suite-1.local." names it wherever a computer is asked for.
#include "fleet/ZDService.h"

#include <QString>

namespace ZDHostNames {

// The host name without its trailing dot.
QString display(QString host);
// The same computer under any of its forms (case does not matter in DNS).
bool sameHost(const QString &a, const QString &b);
// A computer named by its service name, its host name in any form, or "ADDRESS:PORT".
bool names(const ZDServicePtr &service, const QString &given);

} // namespace ZDHostNames
