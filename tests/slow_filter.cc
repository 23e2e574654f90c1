// A filter library built for the server's tests: it lets every response
// through untouched, but at the end of each request for an application
// whose directory is named "slow" it stays in the call until the test lets
// it go. It writes "entered" into that directory when the call begins and
// "left" when it returns; it returns once "release" appears there, or
// after 60 seconds. The end of any other request takes 200 ms, as a short
// filter call does under load: it comes after the response is written, so
// the client may already ask again while the call lasts.
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "isapi/isapi.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

void StayUntilReleased(HTTP_FILTER_CONTEXT* pfc) {
  char dir[2048] = {};
  DWORD size = sizeof dir;
  char name[] = "APPL_PHYSICAL_PATH";
  if (!pfc->GetServerVariable(pfc, name, dir, &size)) return;
  const std::string path = dir;
  if (path.size() < 5 || path.compare(path.size() - 5, 5, "/slow") != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return;
  }
  Touch(path + "/entered");
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!Exists(path + "/release") && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Touch(path + "/left");
}

}  // namespace

extern "C" __attribute__((visibility("default"))) BOOL WINAPI
GetFilterVersion(HTTP_FILTER_VERSION* version) {
  std::strcpy(version->lpszFilterDesc, "slow test filter");
  version->dwFilterVersion = 0x00060000;
  version->dwFlags = SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT |
                     SF_NOTIFY_END_OF_REQUEST | SF_NOTIFY_ORDER_LOW;
  return TRUE;
}

extern "C" __attribute__((visibility("default"))) DWORD WINAPI
HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD type, VOID*) {
  if (type == SF_NOTIFY_END_OF_REQUEST) StayUntilReleased(pfc);
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
