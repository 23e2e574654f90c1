// The stand-in web server: hosts a loaded filter for one response at a time,
// raising its notifications in the server's order and serving its callbacks
// (AllocMem, WriteClient, GetServerVariable, and SF_REQ_DISABLE_NOTIFICATIONS
// of ServerSupportFunction). A StandInRequest owns the
// HTTP_FILTER_CONTEXT it hands the filter and every AllocMem block; the
// client sink owns what it is sent; the filter owns only what it keeps in
// pFilterContext. One request is used by one thread at a time; separate
// requests share nothing and may run on separate threads.
#ifndef TAGSMITH_HOST_STAND_IN_SERVER_H_
#define TAGSMITH_HOST_STAND_IN_SERVER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/filter_module.h"
#include "host/held_budget.h"
#include "host/request_memory.h"
#include "isapi/isapi.h"

namespace tagsmith::host {

// Where the bytes that leave the server go (stdout, a socket, a string).
// Send may throw; the server catches it and reports the write as failed.
class ClientSink {
 public:
  virtual ~ClientSink() = default;
  virtual void Send(std::string_view bytes) = 0;
  // Bytes in the request's own memory, which stays unchanged and readable
  // until the request is destroyed: a sink may keep a view of them instead
  // of a copy.
  virtual void SendKept(std::string_view bytes) { Send(bytes); }
};

// A client that keeps everything it is sent.
class StringSink : public ClientSink {
 public:
  void Send(std::string_view bytes) override { bytes_.append(bytes); }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

struct RequestSettings {
  // The web application's directory, answered for "APPL_PHYSICAL_PATH";
  // none means the server knows no such variable for the request.
  std::optional<std::string> app_physical_path;
  // The request came over TLS.
  bool secure_port = false;
  // The AllocMem call of the request (counting from 1) that returns null;
  // 0 refuses none.
  std::uint64_t refuse_alloc_call = 0;
  // Carve AllocMem blocks from arenas (fast) instead of giving each its own
  // allocation (what memory checkers need to see a read past a block).
  bool arena_memory = false;
  // Keep every AllocMem block until the request is destroyed rather than
  // free them when the end-of-request notification returns; bytes the
  // filter writes from them then reach the client as SendKept. A filter
  // does not change a record it has written, so a server that writes after
  // the call may send them from there.
  bool keep_memory_until_destroyed = false;
  // The buffers given to SendRawData(char*, size) stay unchanged until the
  // client has taken what was sent from them, as a server's send buffers
  // do until written: bytes from them reach the client as SendKept.
  bool chunks_outlive_sends = false;
  // The process's budget for held memory, charged for every AllocMem block
  // (none: no limit). Not owned; it must outlive the request.
  HeldBudget* held_budget = nullptr;
};

class StandInRequest {
 public:
  StandInRequest(const FilterModule& filter, const RequestSettings& settings,
                 ClientSink& client);
  StandInRequest(const StandInRequest&) = delete;
  StandInRequest& operator=(const StandInRequest&) = delete;

  // The three steps of a response, in this order. Each returns the filter's
  // status, or SF_STATUS_REQ_NEXT_NOTIFICATION when the filter did not ask
  // for the notification.
  DWORD SendResponse();
  // Raises SF_NOTIFY_SEND_RAW_DATA for a copy of `chunk` (the filter may
  // change it in place), then sends the client what the record holds
  // afterwards. Throws std::length_error for a chunk of 4 GiB or more.
  DWORD SendRawData(std::string_view chunk);
  // The same for the caller's own buffer, which the filter may change in
  // place, as it may a server's send buffer: no copy is made (nor one for
  // the client, when the settings say the chunks outlive sends).
  DWORD SendRawData(char* data, std::size_t size);
  // Raises SF_NOTIFY_END_OF_REQUEST, then frees every AllocMem block
  // (unless the settings keep them).
  DWORD EndOfRequest();

  const HTTP_FILTER_CONTEXT& context() const { return context_; }
  const RequestMemory& memory() const { return memory_; }
  // The notifications the filter asked not to be raised any more.
  DWORD disabled_notifications() const { return disabled_; }
  // What went wrong on the first failed send to the client; empty if none.
  const std::string& client_error() const { return client_error_; }

 private:
  DWORD Raise(DWORD notification, void* record);
  // A write on its way out: the raw-data notification, then the client.
  bool PassToClient(void* data, DWORD size, DWORD* status);
  // Whether `bytes` lie inside the chunk in progress (chunk_).
  bool InChunk(std::string_view bytes) const;

  static StandInRequest* FromContext(HTTP_FILTER_CONTEXT* context);
  static BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* context, LPSTR name,
                                       LPVOID buffer, LPDWORD size);
  static BOOL WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT* context,
                                        LPSTR headers, DWORD reserved);
  static BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT* context, LPVOID buffer,
                                 LPDWORD bytes, DWORD reserved);
  static VOID* WINAPI AllocMem(HTTP_FILTER_CONTEXT* context, DWORD size,
                               DWORD reserved);
  static BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT* context,
                                           enum SF_REQ_TYPE request, PVOID data,
                                           ULONG_PTR value1, ULONG_PTR value2);

  const FilterModule& filter_;
  const RequestSettings settings_;
  ClientSink& client_;
  RequestMemory memory_;
  HTTP_FILTER_CONTEXT context_;
  std::string client_error_;
  // The chunk of the raw-data notification in progress, when it outlives
  // the sends (settings); else empty.
  const char* chunk_ = nullptr;
  std::size_t chunk_size_ = 0;
  // Notifications the filter asked not to be raised for this request
  // (SF_REQ_DISABLE_NOTIFICATIONS).
  DWORD disabled_ = 0;
  // The notifications raised: those the filter asked for on this port,
  // less the disabled ones.
  DWORD wanted_ = 0;
};

struct ServeSummary {
  std::uint64_t alloc_calls = 0;  // AllocMem calls, the refused one included
  std::string client_error;       // empty when every send reached the client
};

// Serves one response through the filter: send-response, one raw-data
// notification per chunk (empty chunks too), end-of-request; then frees the
// request's memory.
ServeSummary ServeResponse(const FilterModule& filter,
                           const RequestSettings& settings,
                           const std::vector<std::string_view>& chunks,
                           ClientSink& client);

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_STAND_IN_SERVER_H_
