// The HTTP_FILTER_CONTEXT a server hands the filter for one request: its
// fixed fields, the TLS flag, an empty slot and the server's callbacks.
// The record belongs to the server; `server` is its own per-request state.
#ifndef TAGSMITH_HOST_FILTER_CONTEXT_H_
#define TAGSMITH_HOST_FILTER_CONTEXT_H_

#include <cstring>

#include "isapi/isapi.h"

namespace tagsmith::host {

struct FilterCallbacks {
  decltype(HTTP_FILTER_CONTEXT::GetServerVariable) get_server_variable;
  decltype(HTTP_FILTER_CONTEXT::AddResponseHeaders) add_response_headers;
  decltype(HTTP_FILTER_CONTEXT::WriteClient) write_client;
  decltype(HTTP_FILTER_CONTEXT::AllocMem) alloc_mem;
  decltype(HTTP_FILTER_CONTEXT::ServerSupportFunction) server_support;
};

inline void InitFilterContext(HTTP_FILTER_CONTEXT* context, void* server,
                              bool secure, const FilterCallbacks& callbacks) {
  std::memset(context, 0, sizeof *context);
  context->cbSize = sizeof *context;
  context->Revision = HTTP_FILTER_REVISION;
  context->ServerContext = server;
  context->fIsSecurePort = secure ? TRUE : FALSE;
  context->pFilterContext = nullptr;
  context->GetServerVariable = callbacks.get_server_variable;
  context->AddResponseHeaders = callbacks.add_response_headers;
  context->WriteClient = callbacks.write_client;
  context->AllocMem = callbacks.alloc_mem;
  context->ServerSupportFunction = callbacks.server_support;
}

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_FILTER_CONTEXT_H_
