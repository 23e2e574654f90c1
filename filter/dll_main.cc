// The library's entry routine on Windows. The filter keeps no process-wide or
// per-thread state, so there is nothing to set up or tear down here.
#include "isapi/isapi.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
