// The web server's filter interface: the records, codes and callbacks that
// pass between the server and a filter library.
//
// On Windows this is the platform's own <windows.h> and <httpfilt.h>. Other
// systems have neither, so the few declarations the filter and our stand-in
// server use are given here with the platform's names, field order and
// widths (DWORD is 32 bits everywhere), so that the same sources build
// against either. The server owns every record it passes; a filter only
// reads and writes the fields named in its callbacks.
#ifndef TAGSMITH_ISAPI_ISAPI_H_
#define TAGSMITH_ISAPI_ISAPI_H_

#ifdef _WIN32

#include <windows.h>
// httpfilt.h needs the types windows.h declares.
#include <httpfilt.h>

#else  // !_WIN32

#include <cstdint>

typedef std::uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef int BOOL;
typedef char CHAR;
typedef char* LPSTR;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef std::uintptr_t ULONG_PTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// The calling convention of the interface; only 32-bit Windows has one of
// its own.
#define WINAPI

#define HTTP_FILTER_REVISION 0x00060000u
#define SF_MAX_FILTER_DESC_LEN (256 + 1)

// Notification flags a filter asks for in GetFilterVersion.
#define SF_NOTIFY_SECURE_PORT 0x00000001u
#define SF_NOTIFY_NONSECURE_PORT 0x00000002u
#define SF_NOTIFY_READ_RAW_DATA 0x00008000u
#define SF_NOTIFY_PREPROC_HEADERS 0x00004000u
#define SF_NOTIFY_AUTHENTICATION 0x00002000u
#define SF_NOTIFY_URL_MAP 0x00001000u
#define SF_NOTIFY_ACCESS_DENIED 0x00000800u
#define SF_NOTIFY_SEND_RESPONSE 0x00000040u
#define SF_NOTIFY_SEND_RAW_DATA 0x00000400u
#define SF_NOTIFY_LOG 0x00000200u
#define SF_NOTIFY_END_OF_REQUEST 0x00000080u
#define SF_NOTIFY_END_OF_NET_SESSION 0x00000100u
#define SF_NOTIFY_ORDER_HIGH 0x00080000u
#define SF_NOTIFY_ORDER_MEDIUM 0x00040000u
#define SF_NOTIFY_ORDER_LOW 0x00020000u
#define SF_NOTIFY_ORDER_DEFAULT SF_NOTIFY_ORDER_LOW

// Statuses HttpFilterProc may answer with.
enum SF_STATUS_TYPE {
  SF_STATUS_REQ_FINISHED = 0x08000000,
  SF_STATUS_REQ_FINISHED_KEEP_CONN,
  SF_STATUS_REQ_NEXT_NOTIFICATION,
  SF_STATUS_REQ_HANDLED_NOTIFICATION,
  SF_STATUS_REQ_ERROR,
  SF_STATUS_REQ_READ_NEXT
};

enum SF_REQ_TYPE {
  SF_REQ_SEND_RESPONSE_HEADER,
  SF_REQ_ADD_HEADERS_ON_DENIAL,
  SF_REQ_SET_NEXT_READ_SIZE,
  SF_REQ_SET_PROXY_INFO,
  SF_REQ_GET_CONNID,
  SF_REQ_SET_CERTIFICATE_INFO,
  SF_REQ_GET_PROPERTY,
  SF_REQ_NORMALIZE_URL,
  SF_REQ_DISABLE_NOTIFICATIONS
};

typedef struct _HTTP_FILTER_CONTEXT {
  DWORD cbSize;
  DWORD Revision;
  PVOID ServerContext;
  DWORD ulReserved;
  BOOL fIsSecurePort;
  PVOID pFilterContext;
  BOOL(WINAPI* GetServerVariable)
  (struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszVariableName, LPVOID lpvBuffer,
   LPDWORD lpdwSize);
  BOOL(WINAPI* AddResponseHeaders)
  (struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszHeaders, DWORD dwReserved);
  BOOL(WINAPI* WriteClient)
  (struct _HTTP_FILTER_CONTEXT* pfc, LPVOID Buffer, LPDWORD lpdwBytes,
   DWORD dwReserved);
  VOID*(WINAPI* AllocMem)(struct _HTTP_FILTER_CONTEXT* pfc, DWORD cbSize,
                          DWORD dwReserved);
  BOOL(WINAPI* ServerSupportFunction)
  (struct _HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE sfReq, PVOID pData,
   ULONG_PTR ul1, ULONG_PTR ul2);
} HTTP_FILTER_CONTEXT, *PHTTP_FILTER_CONTEXT;

typedef struct _HTTP_FILTER_RAW_DATA {
  PVOID pvInData;
  DWORD cbInData;
  DWORD cbInBuffer;
  DWORD dwReserved;
} HTTP_FILTER_RAW_DATA, *PHTTP_FILTER_RAW_DATA;

typedef struct _HTTP_FILTER_VERSION {
  DWORD dwServerFilterVersion;
  DWORD dwFilterVersion;
  CHAR lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
  DWORD dwFlags;
} HTTP_FILTER_VERSION, *PHTTP_FILTER_VERSION;

extern "C" {
DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType,
                            VOID* pvNotification);
BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* pVer);
}

#endif  // _WIN32

// The two entry points, as the server looks them up by name.
typedef BOOL(WINAPI* GetFilterVersionFn)(HTTP_FILTER_VERSION* pVer);
typedef DWORD(WINAPI* HttpFilterProcFn)(HTTP_FILTER_CONTEXT* pfc,
                                        DWORD notificationType,
                                        LPVOID pvNotification);

#endif  // TAGSMITH_ISAPI_ISAPI_H_
