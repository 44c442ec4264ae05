// Stand-in for the suite's solver launcher, which the shortcut targets. The
// programs never start it; it only has to exist where the shortcut points.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
