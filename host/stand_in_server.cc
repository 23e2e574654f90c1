// The per-request server; see stand_in_server.h. Every callback below is
// called from inside the filter, so none lets an exception out.
#include "host/stand_in_server.h"

#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>

#include "host/filter_context.h"
#include "host/platform.h"
#include "host/server_variable.h"

namespace tagsmith::host {

StandInRequest::StandInRequest(const FilterModule& filter,
                               const RequestSettings& settings,
                               ClientSink& client)
    : filter_(filter),
      settings_(settings),
      client_(client),
      memory_(settings.refuse_alloc_call,
              settings.arena_memory ? MemoryLayout::kArena
                                    : MemoryLayout::kExactBlocks,
              settings.held_budget) {
  // What the filter wants cannot change for the request: asked once.
  for (const DWORD notification :
       {SF_NOTIFY_SEND_RESPONSE, SF_NOTIFY_SEND_RAW_DATA,
        SF_NOTIFY_END_OF_REQUEST}) {
    if (filter_.Wants(notification, settings_.secure_port))
      wanted_ |= notification;
  }
  InitFilterContext(
      &context_, this, settings_.secure_port,
      {&StandInRequest::GetServerVariable, &StandInRequest::AddResponseHeaders,
       &StandInRequest::WriteClient, &StandInRequest::AllocMem,
       &StandInRequest::ServerSupportFunction});
}

DWORD StandInRequest::SendResponse() {
  return Raise(SF_NOTIFY_SEND_RESPONSE, nullptr);
}

DWORD StandInRequest::SendRawData(std::string_view chunk) {
  // The filter may write into the record's buffer, so it gets a copy; an
  // empty chunk still points somewhere.
  std::string copy(chunk);
  return SendRawData(&copy[0], copy.size());
}

DWORD StandInRequest::SendRawData(char* data, std::size_t size) {
  if (size > std::numeric_limits<DWORD>::max())
    throw std::length_error("a chunk of 4 GiB or more cannot be sent");
  DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  if (settings_.chunks_outlive_sends) {
    chunk_ = data;
    chunk_size_ = size;
  }
  PassToClient(data, static_cast<DWORD>(size), &status);
  chunk_ = nullptr;
  chunk_size_ = 0;
  return status;
}

DWORD StandInRequest::EndOfRequest() {
  DWORD status = Raise(SF_NOTIFY_END_OF_REQUEST, nullptr);
  if (!settings_.keep_memory_until_destroyed) memory_.ReleaseAll();
  return status;
}

DWORD StandInRequest::Raise(DWORD notification, void* record) {
  if ((wanted_ & notification) != notification)
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  return filter_.Notify(&context_, notification, record);
}

bool StandInRequest::PassToClient(void* data, DWORD size, DWORD* status) {
  HTTP_FILTER_RAW_DATA raw;
  raw.pvInData = data;
  raw.cbInData = size;
  raw.cbInBuffer = size;
  raw.dwReserved = 0;
  *status = Raise(SF_NOTIFY_SEND_RAW_DATA, &raw);
  if (raw.cbInData == 0) return true;
  if (!raw.pvInData) {
    if (client_error_.empty())
      client_error_ = "the filter left bytes to send but no buffer";
    return false;
  }
  try {
    const std::string_view bytes(static_cast<const char*>(raw.pvInData),
                                 raw.cbInData);
    if ((settings_.keep_memory_until_destroyed &&
         memory_.Holds(bytes.data(), bytes.size())) ||
        InChunk(bytes))
      client_.SendKept(bytes);
    else
      client_.Send(bytes);
    return true;
  } catch (const std::exception& error) {
    if (client_error_.empty()) client_error_ = error.what();
  } catch (...) {
    if (client_error_.empty()) client_error_ = "sending to the client failed";
  }
  return false;
}

bool StandInRequest::InChunk(std::string_view bytes) const {
  // By address as integers: the bytes may lie anywhere.
  const auto start = reinterpret_cast<std::uintptr_t>(chunk_);
  const auto at = reinterpret_cast<std::uintptr_t>(bytes.data());
  return chunk_ != nullptr && at >= start && at - start <= chunk_size_ &&
         bytes.size() <= chunk_size_ - (at - start);
}

StandInRequest* StandInRequest::FromContext(HTTP_FILTER_CONTEXT* context) {
  return context ? static_cast<StandInRequest*>(context->ServerContext)
                 : nullptr;
}

BOOL WINAPI StandInRequest::GetServerVariable(HTTP_FILTER_CONTEXT* context,
                                              LPSTR name, LPVOID buffer,
                                              LPDWORD size) {
  StandInRequest* request = FromContext(context);
  if (!request || !name || !size) return FALSE;
  if (std::strcmp(name, kAppPhysicalPath) != 0) {
    platform::SetCallbackError(platform::CallbackError::kUnknownVariable);
    return FALSE;
  }
  const std::optional<std::string>& path = request->settings_.app_physical_path;
  if (!path) {
    platform::SetCallbackError(platform::CallbackError::kNoData);
    return FALSE;
  }
  return AnswerServerVariable(path->data(), path->size(), buffer, size);
}

BOOL WINAPI StandInRequest::AddResponseHeaders(HTTP_FILTER_CONTEXT*, LPSTR,
                                               DWORD) {
  platform::SetCallbackError(platform::CallbackError::kNotSupported);
  return FALSE;
}

BOOL WINAPI StandInRequest::WriteClient(HTTP_FILTER_CONTEXT* context,
                                        LPVOID buffer, LPDWORD bytes, DWORD) {
  try {
    StandInRequest* request = FromContext(context);
    if (!request || !bytes || (!buffer && *bytes != 0)) return FALSE;
    DWORD status;
    return request->PassToClient(buffer, *bytes, &status) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

VOID* WINAPI StandInRequest::AllocMem(HTTP_FILTER_CONTEXT* context, DWORD size,
                                      DWORD) {
  StandInRequest* request = FromContext(context);
  return request ? request->memory_.Allocate(size) : nullptr;
}

BOOL WINAPI StandInRequest::ServerSupportFunction(HTTP_FILTER_CONTEXT* context,
                                                  enum SF_REQ_TYPE request,
                                                  PVOID, ULONG_PTR value1,
                                                  ULONG_PTR) {
  StandInRequest* self = FromContext(context);
  if (self == nullptr || request != SF_REQ_DISABLE_NOTIFICATIONS) {
    platform::SetCallbackError(platform::CallbackError::kNotSupported);
    return FALSE;
  }
  // For the rest of this request only: the next request gets a new object.
  self->disabled_ |= static_cast<DWORD>(value1);
  self->wanted_ &= ~static_cast<DWORD>(value1);
  return TRUE;
}

ServeSummary ServeResponse(const FilterModule& filter,
                           const RequestSettings& settings,
                           const std::vector<std::string_view>& chunks,
                           ClientSink& client) {
  StandInRequest request(filter, settings, client);
  request.SendResponse();
  for (std::string_view chunk : chunks) request.SendRawData(chunk);
  request.EndOfRequest();
  ServeSummary summary;
  summary.alloc_calls = request.memory().calls();
  summary.client_error = request.client_error();
  return summary;
}

}  // namespace tagsmith::host
