// Registration with the server and the dispatch of notifications: what the
// two exported entry points do. The records passed in belong to the server;
// everything the filter keeps between notifications hangs from the
// request's filter-context slot.
#ifndef TAGSMITH_FILTER_FILTER_ENTRY_H_
#define TAGSMITH_FILTER_FILTER_ENTRY_H_

#include "isapi/isapi.h"
#include "tagging/working_heap.h"

// The description, revision and notifications the filter registers with.
inline constexpr char kFilterDescription[] = "Tagsmith Version 1.13";
inline constexpr DWORD kFilterRevision = 0x00060000;
inline constexpr DWORD kFilterFlags =
    SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_SEND_RESPONSE |
    SF_NOTIFY_END_OF_REQUEST | SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_ORDER_LOW;

// Fills the server's version record. Never reads dwServerFilterVersion and
// never fails.
BOOL FillFilterVersion(HTTP_FILTER_VERSION* version);

// Handles one notification of a request; always answers
// SF_STATUS_REQ_NEXT_NOTIFICATION: the filter never ends, fails or takes
// over a request. `heap` gives the end-of-request pass its working storage.
DWORD DispatchNotification(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                           void* notification,
                           const WorkingHeap& heap = ProcessHeap());

#endif  // TAGSMITH_FILTER_FILTER_ENTRY_H_
