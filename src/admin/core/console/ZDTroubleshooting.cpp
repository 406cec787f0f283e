#include "console/ZDTroubleshooting.h"

#include "platform/ZDFormat.h"
#include "rpc/ZDOrvProtocol.h"

namespace {

// Advice in the terms of the client computers' desktop: their firewall, the agent's
// settings program and NetworkManager.
const char *const kCommonAdvice[] = {
    "\n\n1. Make sure you have run the Kestra Client installer on every client computer.",
    "\n\n2. In the firewall of the client computer (for instance ufw or firewalld), make sure incoming connections "
    "are not all blocked: the port of Kestra Client and mDNS (UDP port 5353) must be allowed.",
    "\n\n3. If the firewall only lets specific services and ports through, make sure Kestra Client's port and mDNS "
    "are on the list (for instance \"sudo ufw allow 5353/udp\" or \"sudo firewall-cmd --permanent "
    "--add-service=mdns\"), and that Kestra Admin's computer may reach them.",
    "\n\n4. In Kestra Client's settings (KestraClientListener, in the desktop's settings menu), toggle the switch to "
    "the Off position, wait a few seconds and then toggle it back to On.",
    "\n\n5. Try disabling your network connection and then re-enabling it. If you are connected to a wireless network, "
    "this will involve going to the network icon of the desktop's panel (NetworkManager), turning Wi-Fi off, waiting a "
    "few seconds and then switching it back on (or \"nmcli radio wifi off\" and \"nmcli radio wifi on\" in a "
    "terminal). If you are connected to a cabled network, it will require unplugging the cable, waiting a few seconds "
    "and plugging it back in.",
    "\n\n6. If you are on a corporate network, you may have a hardware firewall. In this case, go to Kestra Client's "
    "settings (KestraClientListener), specify a custom port (kept as customPort in "
    "~/.config/com.zendrel.KestraClient.plist) and make sure this port is open on your firewall. Also try opening %i, "
    "which is the fallback port if something goes wrong.",
    "\n\n7. Download and reinstall Kestra Client on the affected systems.",
    "\n\n8. If the remote machines are doing some hefty processing (for instance multi-core rendering) right now, "
    "there may not be enough system resources left to connect to Kestra Admin. Consider canceling the hefty task they "
    "are performing or trying again when the machines are idle.",
    "\n\n9. You may also experience success by closing Kestra Admin and reopening it.",
    "\n\n10. Try disabling DNS-SD (Avahi) broadcasts and manually specify an interface and port on the client, then "
    "click the + button in the bottom left corner of Kestra Admin to add the affected machines manually by their IP "
    "address and port.",
    "\n\n11. Report the issue to Zendrel Support by going to Help > Report a Bug. Please include as much detail as "
    "possible. We recommend including your email address so that a support representative can contact you and "
    "resolve your issue quickly.",
};

QString items(int first, int last)
{
    QString text;
    for (int i = first; i <= last; ++i)
        text += ZDTroubleshooting::commonAdviceItem(i);
    return text;
}

} // namespace

QString ZDTroubleshooting::commonAdviceItem(int item)
{
    if (item < 1 || item > int(std::size(kCommonAdvice)))
        return QString();
    const QString text = QString::fromUtf8(kCommonAdvice[item - 1]);
    return item == 6 ? zdFormat(text, kFallbackPort) : text;
}

QString ZDTroubleshooting::missingClientsAdvice()
{
    return QStringLiteral("\n\n\nIf any clients are missing from the list, please try the following:") + items(1, 11);
}

QString ZDTroubleshooting::messageForErrorCode(int code)
{
    switch (code) {
    case 0:
        return QStringLiteral("Service is connected. No connection issues were found.");
    case ZDOrv::kErrorNoConfiguration:
        return QStringLiteral("The service is connected but Kestra Maintenance Tools is either not installed "
                              "properly or is outdated.\n\nSuggested Actions:\n1. Click the Software Updates button "
                              "to update Kestra Maintenance Tools.\n2. If it is already up to date, try right-clicking on the "
                              "service and selecting Refresh.");
    case ZDOrv::kErrorClientOutdated:
        return QStringLiteral("The service is connected but Kestra Client is outdated.\n\nSuggested Actions:\n1. Click "
                              "the Software Updates button to update the client version.");
    case ZDOrv::kErrorToolsOutdated:
        return QStringLiteral("The service is connected but Kestra Maintenance Tools is outdated.\n\nSuggested "
                              "Actions:\n1. Click the Software Updates button to update Kestra Maintenance Tools.");
    case ZDOrv::kErrorConnectionTimedOut:
        return QStringLiteral(
            "The connection to the service timed out.\n\nSuggested Actions:\n1. Make sure that you have the latest "
            "version of the client software installed on the remote machine.\n2. Make sure you have the latest "
            "version of Kestra Maintenance Tools installed on the client machine.\n3. Try right-clicking on the "
            "service and selecting Refresh.\n4. If the remote machine is doing some hefty processing (for "
            "instance multi-core rendering) right now, there may not be enough system resources left to connect to "
            "Kestra Admin. Consider canceling the hefty task it is performing or trying again when the machine is "
            "idle.");
    case ZDOrv::kErrorCertificateChanged:
        return QStringLiteral("The agent on this computer shows another certificate than the one first seen, and "
                              "is not contacted.\n\nSuggested Actions:\n1. On that computer, run "
                              "\"KestraClient -fingerprint\".\n2. If it was reinstalled on purpose, accept that "
                              "fingerprint: \"kestra trust HOST FINGERPRINT\", then Refresh.");
    default:
        return zdFormat(QStringLiteral("Unknown error code %i. Please report this error to Zendrel by going to Help > "
                                       "Report a Bug."),
                        code);
    }
}

QString ZDTroubleshooting::textForManualUnreachable()
{
    return QStringLiteral("Kestra Admin was unable to connect to this computer, entered by hand by its address and port. "
                          "Please try the following:")
         + QStringLiteral("\n\n1. Check that the address and port are this computer's: the agent listens on the port "
                          "set as customPort in its settings (KestraClient --help shows where they are).")
         + QStringLiteral("\n\n2. Check that the computer is switched on and on the network, and that no firewall "
                          "between here and there blocks the port.")
         + QStringLiteral("\n\n3. Check that the agent runs in the computer's session: the \"Kestra Client\" entry in "
                          "its Settings, or \"systemctl --user status com.zendrel.KestraClient\" there.")
         + QStringLiteral("\n\n4. Press Retry once it should answer; Kestra Admin also tries again by itself every "
                          "few seconds.");
}

QString ZDTroubleshooting::textForState(const State &state)
{
    if (state.connected || state.errorCode == ZDOrv::kErrorCertificateChanged)
        return messageForErrorCode(state.errorCode) + missingClientsAdvice();
    if (state.manual)
        return textForManualUnreachable();
    return QStringLiteral("The service was discovered but Kestra Admin was unable to connect. Please try the "
                          "following:")
         + QStringLiteral("\n\n1. If you have set the client to listen on a specific network interface (by default it "
                          "is set to Any), make sure that the interface is connected to a network that this computer "
                          "is capable of accessing.")
         + items(2, 6)
         + QStringLiteral("\n\n7. If the remote machine is doing some hefty processing (for instance multi-core "
                          "rendering) right now, there may not be enough system resources left to connect to Kestra "
                          "Admin. Consider canceling the hefty task it is performing or trying again when the machine "
                          "is idle.")
         + QStringLiteral("\n\n8. Try right-clicking on the service and selecting Refresh.") + items(9, 9)
         + QStringLiteral("\n\n10. Report the issue to Zendrel Support by going to Help > Report a Bug. Please include "
                          "as much detail as possible. We recommend including your email address so that a support "
                          "representative can contact you and resolve your issue quickly.");
}

QString ZDTroubleshooting::textForNoService()
{
    return QStringLiteral("Services could not be found. Please try the following:") + items(1, 6)
         + QStringLiteral("\n\n7. If the remote machines are doing some hefty processing (for instance multi-core "
                          "rendering) right now, there may not be enough system resources left to connect to Kestra "
                          "Admin. Consider canceling the hefty task they are performing or trying again when the "
                          "machines are idle.")
         + QStringLiteral("\n\n8. Download and reinstall Kestra Client on the affected systems.") + items(9, 11);
}

int ZDTroubleshooting::firstTroubledIndex(const QList<State> &states)
{
    for (qsizetype i = 0; i < states.size(); ++i) {
        if (!states[i].connected || states[i].errorCode != 0)
            return int(i);
    }
    return -1;
}
