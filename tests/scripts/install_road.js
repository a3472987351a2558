// The VSS agent's installation road driven the way a backup application's script drives it:
// connect, collect the guest's metrics, install, look at the agent's files on the guest's share,
// start, uninstall; then the refusals: before Connect, on a guest without a VSS package, after
// Disconnect. Guests: install_road_guests.txt; argument 0: the folder that holds their shares,
// argument 1: the processor of the supported guest (AMD64 or x86).
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(
    WScript.ScriptFullName.replace(/[^\\/]*$/, "checks.js"), 1).ReadAll());
var fso = new ActiveXObject("Scripting.FileSystemObject");
var shell = new ActiveXObject("WScript.Shell");
var LOGIN = "ROAD\\backup";
var PASSWORD = "Road-Pa55";
var CONNECTION_CLSID = "{4B9E5018-1369-4247-8BF0-045C6FE5C060}";

var NOT_INSTALLED = 0, INSTALLED_STOPPED = 1, INSTALLED_RUNNING = 2;
var OS_XP = 3, OS_2003 = 4, OS_LONGHORN = 6;
var X86 = 1, AMD64 = 2;

var MSG_NOT_CONNECTED = "Connection to the target server was not established.";
var MSG_CLOSED = "Connection to the remote server is closed or not established.";

function folderOf(path) {
    return path.substring(0, path.lastIndexOf("\\"));
}

// Exactly these files in the folder (Wine's JScript cannot enumerate the Files collection).
function checkFiles(folder, names, what) {
    checkEqual(names.length, fso.GetFolder(folder).Files.Count, what + ": number of files");
    for (var i = 0; i < names.length; i++)
        check(fso.FileExists(folder + "\\" + names[i]), what + ": " + names[i] + " is missing");
}

function checkMetrics(metrics, osType, platform, supported, what) {
    checkEqual(osType, metrics.OsType, what + ": OsType");
    checkEqual(platform, metrics.OsPlatform, what + ": OsPlatform");
    checkEqual(supported, metrics.Supported, what + ": Supported");
}

function main() {
    var shares = WScript.Arguments(0).replace(/\//g, "\\");
    var platform = WScript.Arguments(1) === "x86" ? X86 : AMD64;
    var suffix = platform === X86 ? "_X86" : "_X64";
    var guests = ["vm2008", "vmstopped", "vmxp64"];
    if (!fso.FolderExists(shares))
        fso.CreateFolder(shares);
    // Only the agent's folder is ever made on a share; a failed earlier run may have left one.
    for (var g = 0; g < guests.length; g++) {
        var folder = shares + "\\" + guests[g];
        if (!fso.FolderExists(folder))
            fso.CreateFolder(folder);
        if (fso.FolderExists(folder + "\\NimboVssSupport"))
            fso.DeleteFolder(folder + "\\NimboVssSupport", true);
    }
    var dll = shell.RegRead("HKCR\\CLSID\\" + CONNECTION_CLSID + "\\InprocServer32\\");
    var packageFolder = folderOf(dll) + "\\NimboGuestAgents";
    var logPath = fso.GetSpecialFolder(2).Path + "\\nimbo-install-road.log";
    if (fso.FileExists(logPath))
        fso.DeleteFile(logPath);

    var conn = new ActiveXObject("NimboGuestAgentCtrl.NimboVssGAConnection");
    conn.InitLogging(1, logPath);
    checkError(function () { return conn.Installer; }, 0x80004005, [MSG_NOT_CONNECTED], "Installer before Connect");

    // The supported guest, from metrics to uninstall.
    conn.Connect("vm2008", LOGIN, PASSWORD);
    var installer = conn.Installer;
    var metrics = installer.CollectGuestMetrics();
    checkMetrics(metrics, OS_LONGHORN, platform, true, "vm2008");
    checkEqual(NOT_INSTALLED, installer.GetGateState(), "vm2008 before Install");

    installer.Install();
    checkEqual(INSTALLED_RUNNING, installer.GetGateState(), "vm2008 after Install");
    // The agent's folder as the guest holds it, and the same folder through the share.
    var agentFolder = shares + "\\vm2008\\NimboVssSupport";
    // Besides the three deployed files the started agent writes its own log there (kept open
    // while it runs): proof that the deployed agent was launched from this folder.
    checkFiles(agentFolder, ["NimboGuestAgent.exe", "NimboVssSupport.dll", "NimboAgentConfig.xml", "NimboGuestAgent.log"],
               "agent's folder");
    checkEqual(fso.GetFile(packageFolder + "\\NimboGuestAgent" + suffix + ".exe").Size,
               fso.GetFile(agentFolder + "\\NimboGuestAgent.exe").Size, "agent executable copied whole");
    checkEqual(fso.GetFile(packageFolder + "\\NimboVssSupport2003" + suffix + ".dll").Size,
               fso.GetFile(agentFolder + "\\NimboVssSupport.dll").Size, "plugin copied whole");
    check(fso.FileExists("\\\\vm2008\\ADMIN$\\NimboVssSupport\\NimboAgentConfig.xml"), "config file through the share");

    installer.RunGate();
    checkEqual(INSTALLED_RUNNING, installer.GetGateState(), "vm2008 after RunGate");
    // Another installer object of the connection works on the same engine.
    checkEqual(INSTALLED_RUNNING, conn.Installer.GetGateState(), "vm2008 through a second installer object");
    checkError(function () { return installer.PluginSpecificInfo; }, 0x80004001, null, "PluginSpecificInfo");

    installer.Uninstall();
    checkEqual(NOT_INSTALLED, installer.GetGateState(), "vm2008 after Uninstall");
    check(!fso.FolderExists(agentFolder), "the agent's folder is removed by Uninstall");
    installer.Uninstall();  // nothing left to remove: still a success

    conn.Disconnect();
    checkError(function () { installer.Install(); }, 0x80070003, [MSG_CLOSED], "Install after Disconnect");
    checkError(function () { installer.GetGateState(); }, 0x80070003, [MSG_CLOSED], "GetGateState after Disconnect");
    checkError(function () { return conn.Installer; }, 0x80004005, [MSG_NOT_CONNECTED], "Installer after Disconnect");
    checkMetrics(metrics, OS_LONGHORN, platform, true, "vm2008 metrics after Disconnect");

    // An agent service that exists but is stopped is started by RunGate.
    conn.Connect("vmstopped", LOGIN, PASSWORD);
    installer = conn.Installer;
    checkMetrics(installer.CollectGuestMetrics(), OS_2003, X86, true, "vmstopped");
    checkEqual(INSTALLED_STOPPED, installer.GetGateState(), "vmstopped before RunGate");
    installer.RunGate();
    checkEqual(INSTALLED_RUNNING, installer.GetGateState(), "vmstopped after RunGate");
    conn.Disconnect();

    // A guest without a VSS package: the installation is refused and nothing stays behind.
    conn.Connect("vmxp64", LOGIN, PASSWORD);
    installer = conn.Installer;
    checkMetrics(installer.CollectGuestMetrics(), OS_XP, AMD64, false, "vmxp64");
    checkError(function () { installer.Install(); }, 0x80004005, [
        "Cannot upload guest agent's files to the administrative share  [\\\\vmxp64\\ADMIN$].",
        "Cannot upload the VSS package.", "Guest's OS is not supported. OS: [%]."], "vmxp64 Install");
    checkFiles(shares + "\\vmxp64", [], "vmxp64: share after the refused Install");
    checkEqual(0, fso.GetFolder(shares + "\\vmxp64").SubFolders.Count, "vmxp64: folders left on the share");
    checkEqual(NOT_INSTALLED, installer.GetGateState(), "vmxp64 after the refused Install");
    conn.Disconnect();
    conn = null;
    CollectGarbage();

    // The failed installation is in the log after its scope closed as failed; the password is not.
    var text = fso.OpenTextFile(logPath, 1).ReadAll();
    check(text.indexOf("Info  Installing agent.Failed.\r\n") >= 0 && text.indexOf("Error  Cannot install agent.") >= 0 &&
          text.indexOf("Info  Installing agent.Ok.") >= 0, "both installations in the log");
    check(text.indexOf(PASSWORD) < 0, "the password is in the log");
}

runChecks(main);
