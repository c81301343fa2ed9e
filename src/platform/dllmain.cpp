// The DLL's entry point. Loading and unloading run none of the library's own code: set-up and
// shutdown are shred_init and shred_cleanup, called by the host when it chooses.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
