// The deployment, freeze and console roads as a backup application drives them:
//   cscript demo.js <supported guest> <unsupported guest> <share folder of the first> <log file>
//                   <early-bound freeze client> <early-bound console client> <console program>
//                   <console command>
var args = WScript.Arguments;
function windowsPath(p) { return p.replace(/\//g, "\\"); }
var goodHost = args(0), badHost = args(1), goodShare = windowsPath(args(2)), logPath = windowsPath(args(3));
var freezeClient = windowsPath(args(4)), consoleClient = windowsPath(args(5)), consoleProgram = windowsPath(args(6));
var consoleCommand = args(7);
var LOGIN = "LAB\\backup", PASSWORD = "Demo-Pa55";
var fso = new ActiveXObject("Scripting.FileSystemObject");

var osTypes = { 1: "NT", 2: "Windows 2000", 3: "Windows XP", 4: "Windows 2003 Server", 5: "Vista",
                6: "Longhorn / 2008", "-1": "other" };
var platforms = { 1: "X86", 2: "AMD64", 3: "IA64", "-1": "other" };
var states = { 0: "not installed", 1: "installed, stopped", 2: "installed, running" };

function say(text) { WScript.Echo(text); }
function hex(n) { return "0x" + (n >>> 0).toString(16).toUpperCase(); }

// Log lines written since the last call: the library's own account of each step.
var logSeen = 0;
function newLogLines(indent) {
    if (!fso.FileExists(logPath))
        return;
    var f = fso.OpenTextFile(logPath, 1);
    var lines = f.AtEndOfStream ? [] : f.ReadAll().split("\r\n");
    f.Close();
    if (lines.length && lines[lines.length - 1] === "")
        lines.pop();  // the text ends with a line break
    for (var i = logSeen; i < lines.length; i++)
        say(indent + lines[i]);
    logSeen = lines.length;
}

function step(title, f) {
    say("- " + title);
    var start = new Date().getTime();
    var result = f();
    newLogLines("    | ");
    say("  done in " + (new Date().getTime() - start) + " ms");
    return result;
}

// Runs a command line through cmd; the lines it printed (without empty ones) and its exit code.
function runCommand(commandLine) {
    var out = fso.BuildPath(fso.GetSpecialFolder(2).Path, "nimbo-demo-output.txt");
    var code = new ActiveXObject("WScript.Shell").Run("cmd /c \"" + commandLine + " > \"" + out + "\" 2>&1\"", 0, true);
    var f = fso.OpenTextFile(out, 1);
    var all = f.AtEndOfStream ? [] : f.ReadAll().split("\r\n");
    f.Close();
    fso.DeleteFile(out);
    var lines = [];
    for (var i = 0; i < all.length; i++)
        if (all[i] !== "")
            lines.push(all[i]);
    return {lines: lines, code: code};
}

function showMetrics(metrics) {
    say("  OS type:  " + osTypes[metrics.OsType] + " (" + metrics.OsType + ")");
    say("  platform: " + platforms[metrics.OsPlatform] + " (" + metrics.OsPlatform + ")");
    say("  VSS agent supported: " + (metrics.Supported ? "yes" : "no"));
}

// Every file below a folder with its size. (Wine's script engine cannot walk FileSystemObject
// collections, so the names come from cmd's dir.)
function listFolder(path, indent) {
    var names = runCommand("dir /s /b /a-d \"" + path + "\"").lines;
    for (var i = 0; i < names.length; i++)
        say(indent + names[i].substr(path.length + 1) + "  (" + fso.GetFile(names[i]).Size + " bytes)");
}

try {
    say("== " + goodHost + ": supported guest ==");
    var conn = new ActiveXObject("NimboGuestAgentCtrl.NimboVssGAConnection");
    conn.InitLogging(2, logPath);
    step("connect to \\\\" + goodHost + "\\ADMIN$ as " + LOGIN, function () { conn.Connect(goodHost, LOGIN, PASSWORD); });
    var installer = conn.Installer;
    var metrics = step("collect guest metrics", function () { return installer.CollectGuestMetrics(); });
    showMetrics(metrics);
    say("  agent state: " + states[installer.GetGateState()]);
    step("install the VSS agent", function () { installer.Install(); });
    say("  agent state: " + states[installer.GetGateState()]);
    say("  files on the guest's ADMIN$ share:");
    listFolder(goodShare, "    ");
    // The freeze road takes [out] parameters and a vtable-only interface, which scripts cannot
    // call: an early-bound C++ client drives it (examples/VssFreezeClient.cpp). The agent here
    // runs the plugin's test build: Wine has no volume shadow copy service, so its freeze is
    // simulated; everything between this host and the agent is real RPC.
    say("- freeze road over RPC (early-bound C++ client, its own log " + logPath.replace(/\.log$/, "-freeze.log") + ")");
    say("  (the agent runs the plugin's test build: Wine has no volume shadow copy service, so the freeze itself is simulated)");
    var start = new Date().getTime();
    var run = runCommand("\"" + freezeClient + "\" " + goodHost + " " + LOGIN + " " + PASSWORD + " \"" +
                         logPath.replace(/\.log$/, "-freeze.log") + "\"");
    for (var i = 0; i < run.lines.length; i++)
        say("    " + run.lines[i].replace(/^  /, ""));
    if (run.code !== 0) {
        say("FAILED: the freeze client ended with " + run.code);
        WScript.Quit(1);
    }
    say("  done in " + (new Date().getTime() - start) + " ms");
    step("uninstall the VSS agent", function () { installer.Uninstall(); });
    say("  agent state: " + states[installer.GetGateState()]);
    conn.Disconnect();

    // The console road: events arrive on the library's polling thread through a sink the
    // client implements, which scripts cannot do under this host; the early-bound C++ client
    // (examples/RemoteConsoleClient.cpp) installs the console agent with the console program
    // as a package file, starts it, sends a command and "exit", and prints what arrives.
    var consoleLog = logPath.replace(/\.log$/, "-console.log");
    say("- remote console over RPC (early-bound C++ client with its own event sink, its own log " + consoleLog + ")");
    say("  console program: " + consoleProgram + ", uploaded beside the console agent");
    start = new Date().getTime();
    run = runCommand("\"" + consoleClient + "\" " + goodHost + " " + LOGIN + " " + PASSWORD + " \"" + consoleLog +
                     "\" \"" + consoleProgram + "\" \"" + consoleCommand + "\"");
    for (var i = 0; i < run.lines.length; i++)
        say("    " + run.lines[i].replace(/^  /, ""));
    if (run.code !== 0) {
        say("FAILED: the console client ended with " + run.code);
        WScript.Quit(1);
    }
    say("  done in " + (new Date().getTime() - start) + " ms");
    say("  the console agent's files on the guest's ADMIN$ share:");
    listFolder(goodShare + "\\NimboRemoteConsole", "    ");

    say("");
    say("== " + badHost + ": unsupported guest ==");
    conn = new ActiveXObject("NimboGuestAgentCtrl.NimboVssGAConnection");
    conn.InitLogging(2, logPath);
    step("connect to \\\\" + badHost + "\\ADMIN$ as " + LOGIN, function () { conn.Connect(badHost, LOGIN, PASSWORD); });
    installer = conn.Installer;
    showMetrics(step("collect guest metrics", function () { return installer.CollectGuestMetrics(); }));
    say("- install the VSS agent anyway");
    try {
        installer.Install();
        say("  UNEXPECTED: the install succeeded");
        WScript.Quit(1);
    } catch (e) {
        newLogLines("    | ");
        say("  refused with " + hex(e.number) + ":");
        var lines = e.description.split("\r\n");
        for (var i = 0; i < lines.length; i++)
            say("    " + lines[i]);
    }
    conn.Disconnect();
    say("");
    say("Log file: " + logPath);
} catch (e) {
    newLogLines("    | ");
    say("FAILED with " + hex(e.number) + ": " + e.description);
    WScript.Quit(1);
}
WScript.Quit(0);
