// The scripted way to do menusetup's job, for comparison: the launcher
// shortcut through WScript.Shell, then the host-setup tool run hidden and
// waited for. Usage: cscript //nologo make_shortcut.js SUITE-DIRECTORY START-MENU-FOLDER
var suite = WScript.Arguments(0);
var shell = WScript.CreateObject("WScript.Shell");
var files = WScript.CreateObject("Scripting.FileSystemObject");
var folder = shell.SpecialFolders("AllUsersPrograms") + "\\" + WScript.Arguments(1);
if (!files.FolderExists(folder)) files.CreateFolder(folder);
folder += "\\Fluid Dynamics";
if (!files.FolderExists(folder)) files.CreateFolder(folder);
var link = shell.CreateShortcut(folder + "\\RUVO 18.2.lnk");
link.TargetPath = suite + "\\bin\\ruvo5.exe";
link.WorkingDirectory = "%USERPROFILE%";
link.Description = "Start VELMORA RUVO 18.2 Launcher";
link.IconLocation = suite + "\\icons\\ruvo_hi.ico,0";
link.WindowStyle = 1;
link.Save();
shell.Run("\"" + suite + "\\bin\\ruvo5parhosts.exe\" -install-setup", 0, true);
