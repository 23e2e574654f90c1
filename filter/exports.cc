// The library's two exported entry points, as the server looks them up.
#include "filter/filter_entry.h"
#include "filter/raw_data.h"
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
  // Raw data first and directly: one notification for every chunk sent.
  if (NotificationType == SF_NOTIFY_SEND_RAW_DATA) {
    HandleRawData(pfc, static_cast<HTTP_FILTER_RAW_DATA*>(pvNotification));
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  return DispatchNotification(pfc, NotificationType, pvNotification);
}
