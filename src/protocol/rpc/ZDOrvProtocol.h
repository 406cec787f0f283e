#pragma once
// What both ends of the wire agree on: the agent's operations (ZDOrvServerProtocol),
// the operations the agent calls back on a console's error callback, the
// operations of the machine-local callback object (ZDOrvErrorCallbackProtocol),
// the configuration and settings keys, and the fixed numbers of publishing.
// Operation names are full, labelled names; the number of colons is the number
// of arguments.

namespace ZDOrv {

// Publishing and naming.
inline constexpr const char *kServiceType = "_kestraclient._tcp.";
inline constexpr int kDefaultBonjourPort = 35011;
inline constexpr int kMinPort = 1025;
inline constexpr int kMaxPort = 65535;
inline constexpr const char *kRegisteredNamePrefix = "KestraClient - ";
inline constexpr int kMaxRegisteredNameLength = 63;
inline constexpr const char *kTxtModel = "model";
inline constexpr const char *kTxtIp = "ip";
inline constexpr const char *kTxtName = "name";
// "1": the agent serves enrolled consoles over TLS only.
inline constexpr const char *kTxtSecure = "tls";
inline constexpr const char *kErrorDomain = "orvDomain";

// Agent: connection, configuration and status.
inline constexpr const char *kDisconnect = "disconnect";
inline constexpr const char *kRelaunch = "relaunch";
inline constexpr const char *kCancelMaintenanceRequest = "cancelMaintenanceRequest";
inline constexpr const char *kSetErrorCallback = "setErrorCallback:";
inline constexpr const char *kPostError = "postError:";
inline constexpr const char *kPostErrorString = "postErrorString:";
inline constexpr const char *kPostErrorUserInfo = "postError:userInfo:";
inline constexpr const char *kPostErrorStringUserInfo = "postErrorString:userInfo:";
inline constexpr const char *kIncrementRemoteProgress = "incrementRemoteProgress";
inline constexpr const char *kPostFinishedTask = "postFinishedTask";
inline constexpr const char *kInitialConfiguration = "initialConfiguration";
inline constexpr const char *kFetchInitialConfiguration = "fetchInitialConfiguration:";
inline constexpr const char *kComputerIcon = "computerIcon";
inline constexpr const char *kComputerIconSize = "computerIcon:";
inline constexpr const char *kSystemSpecs = "systemSpecs";
inline constexpr const char *kNetworkClientSettings = "networkClientSettings";
inline constexpr const char *kSetNetworkClientSettings = "setNetworkClientSettings:";
inline constexpr const char *kValidateUsernamePassword = "validateUsername:password:";
inline constexpr const char *kPing = "ping";
// Asks the computer's root (a window opened with "KestraClient -pair") to enrol the
// console whose TLS key the link proved; answers one of the kPairing... words.
inline constexpr const char *kRequestPairing = "requestPairing";
inline constexpr const char *kPairingAccepted = "accepted";
inline constexpr const char *kPairingRefused = "refused";
inline constexpr const char *kPairingBusy = "busy";
inline constexpr const char *kPairingExpired = "expired";
inline constexpr const char *kPairingNoWindow = "no window";
inline constexpr const char *kCancelProcessing = "cancelProcessing";

// Agent: logs.
inline constexpr const char *kPopulateZDLogFilenames = "populateZDLogFilenames";
inline constexpr const char *kLogWithFilename = "logWithFilename:";
inline constexpr const char *kFcsCrashLog = "fcsCrashLog:";
inline constexpr const char *kGatherLogs = "gatherLogs";

// Agent: remote tasks.
inline constexpr const char *kExecuteTask = "executeTask:bundleID:options:";
inline constexpr const char *kAuthExecuteTask = "authExecuteTask:bundleID:options:username:password:";
inline constexpr const char *kAuthExecuteTaskCallback =
    "authExecuteTask:bundleID:options:username:password:callback:callbackName:";
inline constexpr const char *kZdAppTasks = "zdAppTasks";
inline constexpr const char *kNeedsAdminAccess = "needsAdminAccess:";

// Agent: software updates (the update feature serves them).
inline constexpr const char *kInstallZendrelNuvellSettings = "installZendrelNuvell:settings:";

// Console: the error callback object the agent calls on every registered console.
inline constexpr const char *kAddErrorToQueueHostname = "addErrorToQueue:hostname:";
inline constexpr const char *kAddErrorToQueueUserInfo = "addErrorToQueue:userInfo:";
inline constexpr const char *kAddStringToQueueHostname = "addStringToQueue:hostname:";
inline constexpr const char *kAddStringToQueueUserInfo = "addStringToQueue:userInfo:";
inline constexpr const char *kIncrementProgress = "incrementProgress";
inline constexpr const char *kTaskFinished = "taskFinished";
inline constexpr const char *kUpdateConfig = "updateConfig:";
inline constexpr const char *kWillDisconnect = "willDisconnect:";
inline constexpr const char *kRequestMaintenance = "requestMaintenance:";
inline constexpr const char *kCancelMaintenance = "cancelMaintenance:";
inline constexpr const char *kQuellarAddLogsHostName = "quellarAddLogs:hostName:";
inline constexpr const char *kSetNuvellCountHostname = "setNuvellCount:hostname:";
// (the callback object also answers kPing)

// Console: the computer record the agent configures.
inline constexpr const char *kProcessConfiguration = "processConfiguration:";

// A tool's answer record (ZDCallback), passed by reference.
inline constexpr const char *kPostCallback = "postCallback:";

// The machine-local callback object of the agent.
inline constexpr const char *kPostDisconnect = "postDisconnect";

// Client configuration dictionary, in its fixed order.
inline constexpr const char *kConfigVersion = "version";
inline constexpr const char *kConfigVersionString = "versionString";
inline constexpr const char *kConfigMaintenanceRequested = "maintenanceRequested";
inline constexpr const char *kConfigOrvVersion = "orvVersion";
inline constexpr const char *kConfigOrvVersionString = "orvVersionString";
inline constexpr const char *kConfigMinAdminVersion = "minAdminVersion";
inline constexpr const char *kConfigPreferredHostName = "preferredHostName";
inline constexpr const char *kConfigHostNames = "hostNames";
inline constexpr const char *kConfigAvailableUpdateCount = "availableUpdateCount";
inline constexpr const char *kConfigAvailableUpdateCountLastUpdate = "availableUpdateCountLastUpdate";
inline constexpr const char *kConfigSelfCrashLog = "selfCrashLog";

// Client settings dictionary; -1 as a value means "leave unchanged".
inline constexpr const char *kSettingAutoUpdateCheck = "autoUpdateCheck";
inline constexpr const char *kSettingShowMenuBarIcon = "showMenuBarIcon";
inline constexpr const char *kSettingEnableMaintenanceRequests = "enableMaintenanceRequests";
inline constexpr const char *kSettingGlobalUpdateCheck = "globalUpdateCheck";
inline constexpr int kSettingUnchanged = -1;

// Task errors (agent) and computer errors (console).
inline constexpr int kErrorTaskFirst = 1000;
inline constexpr int kErrorApplicationMissing = 1000;
inline constexpr int kErrorInfoPlistMissing = 1001;
inline constexpr int kErrorOldTaskFormat = 1002;
inline constexpr int kErrorTaskNotFound = 1003;
inline constexpr int kErrorComputerBusy = 1005;
inline constexpr int kErrorWrongCredentials = 1006;
// Beside "updates" in an update listing: why the computer's package updates could not be listed.
inline constexpr const char *kPackagesProblemKey = "packagesProblem";
// An exception while serving a task operation.
inline constexpr int kErrorException = -1;
inline constexpr int kErrorNoConfiguration = 2001;
inline constexpr int kErrorClientOutdated = 2006;
inline constexpr int kErrorToolsOutdated = 2007;
inline constexpr int kErrorConnectionTimedOut = 2008;
// The agent showed another key than the one pinned for it: not talked to until trusted.
inline constexpr int kErrorCertificateChanged = 2020;

} // namespace ZDOrv
