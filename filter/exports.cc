// The library's two exported entry points, as the server looks them up.
#include "filter/filter_entry.h"
#include "isapi/isapi.h"

#ifdef _WIN32
#define TAGSMITH_EXPORT  // exported by name through the module definition
#else
#define TAGSMITH_EXPORT __attribute__((visibility("default")))
#endif

extern "C" TAGSMITH_EXPORT BOOL WINAPI
GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  return FillFilterVersion(pVer);
}

extern "C" TAGSMITH_EXPORT DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc,
                                                       DWORD NotificationType,
                                                       VOID* pvNotification) {
  return DispatchNotification(pfc, NotificationType, pvNotification);
}
