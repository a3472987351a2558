// The freeze road as a backup application's script drives it: install the VSS agent, then
// freeze, watch the state, unfreeze, through the control object over RPC to the running
// agent; the refusals a script sees. Guests: freeze_road_guests.txt; argument 0: the folder
// that holds their shares. (GetFreezeError and DoTest take [out] parameters or live on a
// vtable-only interface: the C++ tests cover them.)
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(
    WScript.ScriptFullName.replace(/[^\\/]*$/, "checks.js"), 1).ReadAll());
var fso = new ActiveXObject("Scripting.FileSystemObject");
var LOGIN = "ROAD\\backup", PASSWORD = "Road-Pa55", HOST = "vmfreeze";
var NONE = 0, PREPARING = 1, ERROR = 2, FROZEN = 3;

// The state once the guest has moved past `passing` (within 20 s; the script host here has no
// Sleep, so each look is one round trip to the agent).
function stateAfter(ctrl, passing) {
    var state = ctrl.FreezeState;
    for (var end = new Date().getTime() + 20000; state === passing && new Date().getTime() < end;)
        state = ctrl.FreezeState;
    return state;
}

function main() {
    var shares = WScript.Arguments(0).replace(/\//g, "\\");
    var share = shares + "\\" + HOST;
    if (!fso.FolderExists(shares))
        fso.CreateFolder(shares);
    if (!fso.FolderExists(share))
        fso.CreateFolder(share);
    if (fso.FolderExists(share + "\\NimboVssSupport"))
        fso.DeleteFolder(share + "\\NimboVssSupport", true);

    var conn = new ActiveXObject("NimboGuestAgentCtrl.NimboVssGAConnection");
    checkError(function () { return conn.Ctrl; }, 0x80004005,
               ["Connection to the target server was not established."], "Ctrl before Connect");
    conn.Connect(HOST, LOGIN, PASSWORD);
    var installer = conn.Installer;
    installer.CollectGuestMetrics();
    installer.Install();
    var ctrl = conn.Ctrl;

    checkEqual(NONE, ctrl.FreezeState, "state before the freeze");
    ctrl.Freeze();
    checkEqual(FROZEN, stateAfter(ctrl, PREPARING), "state after Freeze");
    checkError(function () { ctrl.Freeze(); }, 0x80042301,
               ["RPC function call failed. Function name: [Freeze]. Target machine: [" + HOST + "].",
                "RPC error: Code: -2147212543"], "Freeze while frozen");
    checkEqual(FROZEN, conn.Ctrl.FreezeState, "state through a second control object");
    ctrl.Unfreeze();
    checkEqual(NONE, ctrl.FreezeState, "state after Unfreeze");

    // The test build's freeze fails as the settings file beside the agent says.
    var settings = fso.CreateTextFile(share + "\\NimboVssSupport\\SimulatedFreeze.txt", true);
    settings.WriteLine("error = 0x80042306 | The writer failed");
    settings.Close();
    ctrl.Freeze();
    checkEqual(ERROR, stateAfter(ctrl, PREPARING), "state after a failed freeze");
    ctrl.Unfreeze();
    checkEqual(NONE, ctrl.FreezeState, "state after Unfreeze of a failed freeze");

    conn.Disconnect();
    checkError(function () { ctrl.Freeze(); }, 0x80070003,
               ["RPC connection to the VSS server is not established or closed."], "Freeze after Disconnect");
    conn.Connect(HOST, LOGIN, PASSWORD);
    installer = conn.Installer;
    installer.CollectGuestMetrics();
    installer.Uninstall();
    checkError(function () { return ctrl.FreezeState; }, 0x80070003,
               ["RPC connection to the VSS server is not established or closed."], "FreezeState before a new Ctrl");
    var again = conn.Ctrl;
    checkError(function () { return ctrl.FreezeState; }, 0x800706BA,
               ["RPC function call failed. Function name: [GetFreezeState]. Target machine: [" + HOST + "].",
                "RPC error:RPC server unavailable.", " Code: 1722"], "FreezeState once the agent is uninstalled");
    conn.Disconnect();
}

runChecks(main);
