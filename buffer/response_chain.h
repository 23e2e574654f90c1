// The response chain: every chunk of one outgoing response, held back in
// send order as a doubly linked list of records until the end of the request.
//
// Ownership: the `ResponseChain` record, the `ChunkNode`s appended here and
// their byte copies come from the server's per-request allocator (AllocMem)
// and are never freed by the filter; the server reclaims them when the
// request ends. Records spliced in during the end-of-request pass live in
// that call's frame and point at fixed texts, frame buffers or into the
// bytes of existing records; the chain is flushed before that call returns
// and is never walked again afterwards.
#ifndef TAGSMITH_BUFFER_RESPONSE_CHAIN_H_
#define TAGSMITH_BUFFER_RESPONSE_CHAIN_H_

#include <cstdint>

#include "filter/isapi.h"

// One buffered chunk or spliced piece of the response.
struct ChunkNode {
  // The record before; null in the head of an open chain, the head itself
  // once the chain is closed (the only record that ever points at itself).
  ChunkNode* prev;
  ChunkNode* next;  // null in the last record
  const char* data;  // may be null: a record with nothing to send
  std::uint32_t length;
};

enum class ChainState : std::uint32_t {
  // Chunks are withheld and appended.
  kBuffering,
  // Nothing more is held: the chain was flushed, or a chunk could not be
  // buffered and everything held went out. Raw data passes untouched.
  kPassing,
};

// What the filter-context slot holds for one response.
struct ResponseChain {
  ChunkNode* head;  // never null once the chain is in the slot
  ChunkNode* tail;  // the last record, so that appending costs O(1)
  ChainState state;
};

// Handles one SF_NOTIFY_SEND_RAW_DATA: copies the chunk to the end of the
// response's chain and sets raw->cbInData to 0 so that nothing reaches the
// client yet. A chunk of zero bytes is not recorded. When memory for the
// chunk cannot be had, everything held so far is written out in order and
// this chunk and all later ones of the response pass untouched.
void AppendChunk(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw);

// The chain in the request's slot, or null when the response has nothing
// buffered (or gave up buffering before anything was held).
ResponseChain* ChainOf(HTTP_FILTER_CONTEXT* pfc);

// Marks the chain closed (the head's prev points at the head), so that
// cursors stepping back stop at the start.
// REQUIRES: head != null.
void CloseChain(ChunkNode* head);

// Writes every record that has bytes to the client with WriteClient, in
// chain order. Results of WriteClient are not looked at.
void FlushChain(HTTP_FILTER_CONTEXT* pfc, const ChunkNode* head);

#endif  // TAGSMITH_BUFFER_RESPONSE_CHAIN_H_
