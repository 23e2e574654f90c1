// What the status line, the headers and the site's configuration decide
// about tagging, once the header block is in: a response they rule out is
// let go at once instead of being held to the end of the request. For an
// HTML "200" page the configuration is read here, once per page; a page
// held to its end keeps that reading in a KeptPage, which the end of the
// request uses, so a changed file applies from the next page on.
//
// Ownership: the KeptPage is an AllocMem block of the response, counted in
// what it holds, reached from the chain's `kept` and never freed by the
// filter. JudgeHeaders reads the chain only during the call.
#ifndef TAGSMITH_TAGGING_HEADER_VERDICT_H_
#define TAGSMITH_TAGGING_HEADER_VERDICT_H_

#include "buffer/response_chain.h"
#include "isapi/isapi.h"
#include "tagging/announced_coding.h"
#include "tagging/body_watch.h"
#include "tagging/header_scan.h"
#include "tagging/result_header.h"
#include "tagging/site_config.h"

struct KeptPage {
  ResponseFacts facts;  // the header scan's, on the chain's records
  SiteConfig config;
  CodingPlan plan;  // the codings judged at the headers
  BodyWatch watch;  // on for a page whose body is its plain bytes
};

struct HeaderVerdict {
  // Held to the end of the request: it may be tagged (outcome kTagged).
  bool hold;
  // Let go with the result header, which says outcome: the page is a
  // candidate and its site asks for the header.
  bool resultHeader;
  TagOutcome outcome;
  CodingPlan plan;  // set when held
};

// Judges a response from `facts`. Reads the configuration into `config`
// only for an HTML "200" page (kIsHtml). REQUIRES: `facts` come from
// ScanResponseHeaders over bytes that hold the whole header block; only
// what lies inside that block is consulted.
HeaderVerdict JudgeHeaders(HTTP_FILTER_CONTEXT* pfc, const ResponseFacts& facts,
                           SiteConfig* config);

// Keeps `facts` and `config` for the chain's page in a new KeptPage, so
// that the end of the request needs no second scan; false, nothing kept,
// when the response's bound or AllocMem refuses the block. A page whose
// body is read as its own bytes (`plan` names no coding) has its body
// watched from here on, the bytes already held included.
// REQUIRES: chain->kept is null; the chain holds the whole header block,
// and `facts` point into its records (MoveFactsToHeldCopy).
bool KeepPage(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
              const ResponseFacts& facts, const SiteConfig& config,
              const CodingPlan& plan);

#endif  // TAGSMITH_TAGGING_HEADER_VERDICT_H_
