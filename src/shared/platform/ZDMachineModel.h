#pragma once
// What kind of computer this is, for the "model" TXT record and the console's
// choice of icon: "Linux" followed by the chassis ("LinuxDesktop", "LinuxLaptop",
// "LinuxServer", "LinuxTablet", "LinuxVM", "LinuxContainer", "LinuxUnknown").
// Read from the firmware's chassis type and the virtualisation hints; below
// $KESTRA_SYSTEM_ROOT when it is set, so that tests can supply their own.
#include <QString>

class ZDMachineModel
{
public:
    ZDMachineModel() = delete;

    static QString identifier();
    // "desktop", "laptop", "server", "tablet", "vm", "container" or "unknown".
    static QString chassis();
    // The firmware's product name ("ThinkPad X1 Carbon"), empty when unreadable.
    static QString productName();

    // The chassis word for an SMBIOS chassis type code; "unknown" for the rest.
    static QString chassisForSmbiosType(int code);
};
