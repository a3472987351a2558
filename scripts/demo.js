// Demo client: what a backup application's script would do with the library.
var shell = new ActiveXObject("WScript.Shell");
WScript.Echo("Type library: " + shell.RegRead("HKCR\\TypeLib\\{5A574670-BC2C-4269-AF4A-BD7BA378F53C}\\1.0\\"));
