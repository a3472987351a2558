// Checks shared by the script tests. A test loads this file first with
//   eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(
//       WScript.ScriptFullName.replace(/[^\\/]*$/, "checks.js"), 1).ReadAll());
// and ends with runChecks(main).
var failures = 0;

function check(condition, what) {
    if (!condition) {
        failures++;
        WScript.Echo("FAIL: " + what);
    }
}

function checkEqual(expected, actual, what) {
    check(expected === actual, what + ": expected [" + expected + "], got [" + actual + "]");
}

function hex(n) {
    return "0x" + (n >>> 0).toString(16).toUpperCase();
}

// Runs f and gives back the error it raised, or null.
function caught(f) {
    try {
        f();
    } catch (e) {
        return e;
    }
    return null;
}

// The error of f: its number and its description, line by line (null: any description).
function checkError(f, number, lines, what) {
    var e = caught(f);
    check(e !== null, what + ": no error");
    if (e === null)
        return;
    checkEqual(hex(number), hex(e.number), what + ": err.number");
    if (lines === null)
        return;
    var actual = e.description.split("\r\n");
    checkEqual(lines.length, actual.length, what + ": number of lines in [" + e.description + "]");
    for (var i = 0; i < lines.length && i < actual.length; i++)
        checkEqual(lines[i], actual[i], what + ": line " + (i + 1));
}

// Wine's script host ends with exit code 0 on an uncaught error, so every error is caught here
// and the exit code says whether every check held.
function runChecks(main) {
    try {
        main();
    } catch (e) {
        failures++;
        WScript.Echo("FAIL: unexpected error " + hex(e.number) + ": " + e.description);
    }
    if (failures > 0) {
        WScript.Echo(failures + " check(s) failed");
        WScript.Quit(1);
    }
    WScript.Echo("ok");
    WScript.Quit(0);
}
