// The type library is registered by regsvr32 from the DLL's own TYPELIB resource.
// (cscript under Wine exits 0 on an uncaught error, hence the explicit catch.)
try {
    var shell = new ActiveXObject("WScript.Shell");
    var key = "HKCR\\TypeLib\\{5A574670-BC2C-4269-AF4A-BD7BA378F53C}\\1.0\\";
    var name = shell.RegRead(key);
    if (name !== "NimboGuestAgentCtrl 1.0 Type Library") {
        WScript.Echo("FAIL: type library name is [" + name + "]");
        WScript.Quit(1);
    }
    WScript.Echo("ok: " + name);
} catch (e) {
    WScript.Echo("FAIL: " + e.message);
    WScript.Quit(1);
}
WScript.Quit(0);
