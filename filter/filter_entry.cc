#include "filter/filter_entry.h"

#include <cstring>

#include "buffer/response_chain.h"
#include "filter/end_of_request.h"
#include "filter/raw_data.h"

static_assert(kFilterFlags == 0x000204C3, "registration flags");
static_assert(sizeof(kFilterDescription) <= SF_MAX_FILTER_DESC_LEN,
              "description fits the server's record");

BOOL FillFilterVersion(HTTP_FILTER_VERSION* version) {
  std::memcpy(version->lpszFilterDesc, kFilterDescription,
              sizeof(kFilterDescription));
  version->dwFilterVersion = kFilterRevision;
  version->dwFlags = kFilterFlags;
  return TRUE;
}

DWORD DispatchNotification(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                           void* notification, const WorkingHeap& heap) {
  switch (notificationType) {
    case SF_NOTIFY_SEND_RESPONSE:
      // A new response starts with nothing held; the old records are the
      // server's to reclaim.
      pfc->pFilterContext = nullptr;
      break;
    case SF_NOTIFY_SEND_RAW_DATA:
      HandleRawData(pfc, static_cast<HTTP_FILTER_RAW_DATA*>(notification));
      break;
    case SF_NOTIFY_END_OF_REQUEST:
      if (ResponseChain* chain = ChainOf(pfc))
        RunEndOfRequest(pfc, chain, heap);
      break;
    default:
      break;
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
