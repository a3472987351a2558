// The type library is registered by regsvr32 from the DLL's own TYPELIB resource.
var shell = new ActiveXObject("WScript.Shell");
var key = "HKCR\\TypeLib\\{5A574670-BC2C-4269-AF4A-BD7BA378F53C}\\1.0\\";
var name = shell.RegRead(key);
if (name !== "NimboGuestAgentCtrl 1.0 Type Library") {
    WScript.Echo("FAIL: type library name is [" + name + "]");
    WScript.Quit(1);
}
WScript.Echo("ok: " + name);
WScript.Quit(0);
