// Both connection classes driven the way a script client drives them: create by ProgID,
// InitLogging, Connect to simulated guests (see connection_guests.txt), Disconnect; failures
// checked by err.number and the description line by line, and the log file read back.
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(
    WScript.ScriptFullName.replace(/[^\\/]*$/, "checks.js"), 1).ReadAll());
var fso = new ActiveXObject("Scripting.FileSystemObject");
var PASSWORD = "S3cr3t-Pa55";

// The text of each line after "[<time stamp>]": the level word, two blanks, the message.
function readLog(path) {
    var result = [];
    if (!fso.FileExists(path))
        return result;
    var file = fso.OpenTextFile(path, 1);
    var text = file.AtEndOfStream ? "" : file.ReadAll();
    file.Close();
    var lines = text.split("\r\n");
    for (var i = 0; i < lines.length; i++) {
        if (lines[i] === "")
            continue;
        result.push(lines[i].substring(lines[i].indexOf("]") + 1));
    }
    return result;
}

function indexOfLine(lines, line) {
    for (var i = 0; i < lines.length; i++)
        if (lines[i] === line)
            return i;
    return -1;
}

function announce(host, account) {
    return "Connecting to a remote host. Host: [" + host + "]. Specified account: [" + account + "].";
}

function failure(host, account) {
    return "Cannot connect to the host's administrative share. Host:  [" + host + "]. Account: [" + account + "].";
}

// The error a failed Connect raises: the connection failure, then the system's error line.
function checkConnectError(e, host, account, code, what) {
    check(e !== null, what + ": Connect did not fail");
    if (e === null)
        return;
    checkEqual(hex(0x80070000 | code), hex(e.number), what + ": err.number");
    var lines = e.description.split("\r\n");
    checkEqual(failure(host, account), lines[0], what + ": first line");
    check(lines.length >= 2 && lines[1].indexOf("Win32 error:") === 0, what + ": second line is [" + lines[1] + "]");
    checkEqual(" Code: " + code, lines[lines.length - 1].substring(lines[lines.length - 1].lastIndexOf(" Code: ")),
               what + ": last line ends in the code");
    check(e.description.indexOf(PASSWORD) < 0, what + ": the password is in the description");
}

// Wine's script host ends with exit code 0 on an uncaught error, so every error is caught here.
function main() {
    var classes = [
        "NimboGuestAgentCtrl.NimboVssGAConnection",
        "NimboGuestAgentCtrl.NimboVssGAConnection.1",
        "NimboGuestAgentCtrl.NimboRemoteConsoleConnection",
        "NimboGuestAgentCtrl.NimboRemoteConsoleConnection.1"
    ];
    var tempFolder = fso.GetSpecialFolder(2).Path;

    for (var c = 0; c < classes.length; c++) {
        var progId = classes[c];
        var logPath = tempFolder + "\\nimbo-connection-script-" + c + ".log";
        if (fso.FileExists(logPath))
            fso.DeleteFile(logPath);

        var conn = new ActiveXObject(progId);
        conn.InitLogging(1, logPath);

        conn.Connect("host1", "admin", PASSWORD);
        conn.Disconnect();
        conn.Disconnect();

        var e = caught(function () { conn.Connect("host1", "admin", "wrong"); });
        checkConnectError(e, "host1", "admin", 1326, progId + " wrong password");

        e = caught(function () { conn.Connect("nohost", "admin", PASSWORD); });
        checkConnectError(e, "nohost", "admin", 53, progId + " unknown host");

        // The conflicting connection of the session is cancelled and the connection made. Only the
        // first class meets the conflict; later ones find it repaired.
        conn.Connect("conflict1", "admin", PASSWORD);
        conn.Disconnect();

        conn = null;
        CollectGarbage();

        var log = readLog(logPath);
        checkEqual("Info  " + new Array(83).join("="), log[0], progId + " log: rule");
        checkEqual("Info  Guest agent control version info", log[1], progId + " log: banner title");
        var ok = indexOfLine(log, "Info  " + announce("host1", "admin") + "Ok.");
        check(indexOfLine(log, "Info  " + announce("host1", "admin")) >= 0 && ok >= 0, progId + " log: successful Connect");
        var failed = indexOfLine(log, "Info  " + announce("nohost", "admin") + "Failed.");
        check(failed >= 0, progId + " log: failed scope");
        checkEqual("Error  " + failure("nohost", "admin"), log[failed + 1], progId + " log: failure line");
        check(log[failed + 2].indexOf("Error  Win32 error:") === 0, progId + " log: error line is [" + log[failed + 2] + "]");
        if (c === 0) {
            check(indexOfLine(log, "Warning  There are multiple connections to the target server opened under a security " +
                                   "context that differs from the specified. These connections will be closed.") >= 0,
                  progId + " log: conflict warning");
            check(indexOfLine(log, "Warning  The network connection [\\\\CONFLICT1\\IPC$] was cancelled.") >= 0,
                  progId + " log: cancelled connection");
        }
        check(indexOfLine(log, "Info  " + announce("conflict1", "admin") + "Ok.") >= 0, progId + " log: conflict repaired");
        for (var i = 0; i < log.length; i++)
            check(log[i].indexOf(PASSWORD) < 0, progId + " log line holds the password: " + log[i]);
        fso.DeleteFile(logPath);
    }

    // The event object is creatable by both of its shortened ProgIDs and accepts events without
    // any subscriber.
    var eventProgIds = ["NimboGuestAgentCtrl.NimboRemoteConsol.1", "NimboGuestAgentCtrl.NimboRemoteConsoleE"];
    for (var k = 0; k < eventProgIds.length; k++) {
        var evt = new ActiveXObject(eventProgIds[k]);
        evt.OnStdOutput("out");
        evt.OnStdError("err");
        evt.OnChannelStateChanged(3, "");
    }

}

runChecks(main);
