// A filter library for the stop test: it passes every response on untouched,
// but never returns from the raw-data notification of a chunk that holds
// "NEVER-RETURNS", as a filter stuck on a lock or a pipe would. It first
// creates the file TAGSMITH_STUCK_MARK names, so a test knows it is stuck.
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "isapi/isapi.h"

#define STUCK_EXPORT __attribute__((visibility("default")))

extern "C" STUCK_EXPORT BOOL WINAPI
GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  pVer->dwFilterVersion = HTTP_FILTER_REVISION;
  const char description[] = "stuck test filter";
  for (std::size_t i = 0; i < sizeof description; ++i)
    pVer->lpszFilterDesc[i] = description[i];
  pVer->dwFlags = SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_SECURE_PORT |
                  SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_ORDER_DEFAULT;
  return TRUE;
}

extern "C" STUCK_EXPORT DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT*,
                                                    DWORD notification,
                                                    VOID* record) {
  if (notification == SF_NOTIFY_SEND_RAW_DATA) {
    const auto* raw = static_cast<HTTP_FILTER_RAW_DATA*>(record);
    const std::string_view chunk(static_cast<const char*>(raw->pvInData),
                                 raw->cbInData);
    if (chunk.find("NEVER-RETURNS") != std::string_view::npos) {
      if (const char* mark = std::getenv("TAGSMITH_STUCK_MARK"))
        if (std::FILE* file = std::fopen(mark, "w")) std::fclose(file);
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
