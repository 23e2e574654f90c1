#include "tagging/tag_page.h"

#include <cassert>

#include "buffer/edit_plan.h"
#include "tagging/duplicate_check.h"
#include "tagging/header_verdict.h"
#include "tagging/markup_start.h"

namespace {

// The page as the stages read it.
struct PageRead {
  bool hasBody;       // the empty line has its LF
  ChainCursor first;  // with hasBody: the body's first byte, after that LF
  bool framed;        // read through the de-framed view
  bool compressed;    // read decoded, as the frame's one-record page
  // The bytes the tag search reads: from `from` to the end of `last`'s
  // chain.
  ChainCursor from;
  const ChunkNode* last;
};

// The stages' local answers in the one result vocabulary: kTagged means
// "go on".
TagResult ResultOf(Framing framing) {
  switch (framing) {
    case Framing::kBroken:
      return TagResult::kCodingInvalid;
    case Framing::kRefused:
      return TagResult::kNoMemory;
    case Framing::kFramed:
    case Framing::kPlain:
      break;
  }
  return TagResult::kTagged;
}

TagResult ResultOf(Decoding decoding) {
  switch (decoding) {
    case Decoding::kRefuse:
      return TagResult::kCodingInvalid;
    case Decoding::kTooLarge:
      return TagResult::kTooLarge;
    case Decoding::kNoMemory:
      return TagResult::kNoMemory;
    case Decoding::kDecoded:
    case Decoding::kPlain:
      break;
  }
  return TagResult::kTagged;
}

// Framing: the data bytes, read through a view that leaves the size lines
// out; the page the later stages read is that view, or the body itself
// read from the empty line's LF on, as the headers' end was found.
TagResult ReadPageFraming(ResponseChain* chain, const ResponseFacts& facts,
                          const CodingPlan& plan, const WorkingHeap& heap,
                          TagFrame* frame, PageRead* page) {
  // The body's first byte: after the CR and LF of the empty line.
  ChainCursor c = facts.bodyStart;
  page->hasBody = StepForward(&c) && ByteAt(c) == '\n' && StepForward(&c);
  if (page->hasBody) page->first = c;
  // An empty line without its LF: only a plain page is read as before.
  const bool coded = plan.chunked || plan.content != ContentCoding::kNone;
  if (!page->hasBody && coded) return TagResult::kCodingInvalid;
  if (plan.chunked && page->hasBody) {
    const Framing framing = ReadFraming(
        heap, &page->first, HeldMemoryRoom(*chain), &frame->framing);
    if (framing != Framing::kFramed) {
      const TagResult result = ResultOf(framing);
      if (result != TagResult::kTagged) return result;
    } else {
      // Within the room it was given, so it always counts.
      TakeHeldMemory(chain, frame->framing.memory);
      page->framed = true;
    }
  }
  if (page->framed) {
    const FramedBody& framing = frame->framing;
    if (framing.viewCount == 0) return TagResult::kNoClosingBodyTag;
    page->from = CursorAtStart(framing.view);
    page->last = &framing.view[framing.viewCount - 1];
    return TagResult::kTagged;
  }
  page->from = facts.bodyStart;
  if (!StepForward(&page->from)) return TagResult::kNoClosingBodyTag;
  page->last = chain->tail;
  return TagResult::kTagged;
}

// Content coding: the bytes decoded, when they are in the coding. A body
// not in a coding its headers announce is tagged as the page itself only
// when it reads as one: anything else may be a coding read wrongly, which
// the block would corrupt.
TagResult DecodePage(const CodingPlan& plan, const WorkingHeap& heap,
                     TagFrame* frame, PageRead* page) {
  if (plan.content != ContentCoding::kNone) {
    // A plain page's body begins after the LF (there is one: a coded
    // response without it was refused).
    const ChainCursor* input = page->framed ? &page->from : &page->first;
    const Decoding decoding =
        DecodeBody(heap, plan.content, input, &frame->decoded);
    const TagResult result = ResultOf(decoding);
    if (result != TagResult::kTagged) return result;
    page->compressed = decoding == Decoding::kDecoded;
  }
  const bool plainUnderCoding =
      !page->compressed &&
      ((plan.chunked && !page->framed) || plan.content != ContentCoding::kNone);
  if (plainUnderCoding &&
      !ReadsAsMarkup(page->framed ? page->from : page->first)) {
    return TagResult::kCodingInvalid;
  }
  if (!page->compressed) return TagResult::kTagged;
  if (frame->decoded.pageLength == 0) return TagResult::kNoClosingBodyTag;
  ChunkNode* record = &frame->page;
  record->data = frame->decoded.page;
  record->length = static_cast<std::uint32_t>(frame->decoded.pageLength);
  record->prev = record;  // a closed chain of one record
  record->next = nullptr;
  page->from = CursorAtStart(record);
  page->last = record;
  return TagResult::kTagged;
}

// The tag's place: not on a page that carries the script (or the
// snippet's own marker) already, and before the last closing body tag.
TagResult FindTagPlace(const TagFrame& frame, const BodyWatch* watch,
                       const PageRead& page, ChainCursor* tag) {
  // The watch saw the plain page's bytes as they were copied.
  const bool watched = watch != nullptr && watch->on && !page.framed &&
                       !page.compressed && !frame.text.ownMarker;
  if (watched                ? watch->found
      : frame.text.ownMarker ? CarriesMarker(page.from, frame.text.marker)
                             : CarriesTrackingScript(page.from)) {
    return TagResult::kAlreadyTagged;
  }
  // The watch noted a plain page's closing body tags as they were copied.
  const bool plainBody = watch != nullptr && !page.framed && !page.compressed;
  if (!(plainBody ? FindWatchedClosingBodyTag(*watch, page.last, page.from, tag)
                  : FindLastClosingBodyTag(page.last, page.from, tag))) {
    return TagResult::kNoClosingBodyTag;
  }
  return TagResult::kTagged;
}

// The block's records: the text built for the page, or the fixed texts
// with the account (which fails only when memory for a split account
// header is refused).
TagResult FillBlock(HTTP_FILTER_CONTEXT* pfc, const ResponseFacts& facts,
                    const SiteConfig& config, TagFrame* frame) {
  TrackingBlock* block = &frame->splice.block;
  if (frame->text.built) {
    // At most 16 MiB: ExpandBlockText refuses a longer text.
    FillBuiltBlock(config, frame->text.text.bytes,
                   static_cast<std::uint32_t>(frame->text.text.length), block);
    return TagResult::kTagged;
  }
  return FillTrackingBlock(pfc, facts, config, block) ? TagResult::kTagged
                                                      : TagResult::kNoMemory;
}

// Re-encoding: a compressed page's stream from the last block the block's
// place leaves whole, encoded anew with the block in.
TagResult Reencode(const WorkingHeap& heap, const ChainCursor& tag,
                   TagFrame* frame, SplicePlace* place) {
  InsertText insert[5];
  for (int i = 0; i < 5; ++i) {
    const ChunkNode* piece = frame->splice.block.pieces[i];
    insert[i] = InsertText{piece->data, piece->length};
  }
  const auto at = static_cast<std::uint64_t>(tag.pos - frame->decoded.page);
  if (!EncodeTagged(heap, frame->decoded, at, insert, 5, &place->kept,
                    &frame->encoded)) {
    return TagResult::kNoMemory;
  }
  // A length no record can state leaves the body as it came.
  if (frame->encoded.length > 0xFFFFFFF0u) return TagResult::kTooLarge;
  place->encoded = frame->encoded.bytes;
  place->encodedLength = static_cast<std::uint32_t>(frame->encoded.length);
  return TagResult::kTagged;
}

}  // namespace

void StartTagFrame(TagFrame* frame) {
  frame->framing = FramedBody{};
  frame->decoded = DecodedBody{};
  frame->encoded = HeapBuffer{nullptr, 0, 0};
  StartBlockText(&frame->text);
}

TagOutcome DecideTag(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                     const ResponseFacts& facts, const CodingPlan& plan,
                     const SiteConfig& config, const WorkingHeap& heap,
                     TagFrame* frame, const BodyWatch* watch,
                     SplicePlace* place) {
  assert((facts.flags & kIsHtml) != 0);
  PageRead page{};
  ChainCursor tag{};
  *place = SplicePlace{};
  TagResult result = PrepareBlockText(pfc, facts, config, heap, &frame->text);
  if (result == TagResult::kTagged)
    result = ReadPageFraming(chain, facts, plan, heap, frame, &page);
  if (result == TagResult::kTagged)
    result = DecodePage(plan, heap, frame, &page);
  if (result == TagResult::kTagged)
    result = FindTagPlace(*frame, watch, page, &tag);
  if (result == TagResult::kTagged)
    result = FillBlock(pfc, facts, config, frame);
  if (result == TagResult::kTagged && page.compressed)
    result = Reencode(heap, tag, frame, place);
  TagOutcome outcome{};
  outcome.result = result;
  if (result != TagResult::kTagged) return outcome;
  outcome.decoded = page.compressed ? plan.content : ContentCoding::kNone;
  outcome.framed = page.framed;
  place->first = page.first;
  place->framing = page.framed ? &frame->framing : nullptr;
  place->tag = tag;
  place->compressed = page.compressed;
  return outcome;
}

void TagHeldResponse(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                     const WorkingHeap& heap, TagFrame* frame) {
  assert(chain->head != nullptr && chain->head->prev == chain->head);
  // Decide.
  const ResponseFacts* facts = &frame->facts;
  const SiteConfig* config = &frame->config;
  SplicePlace place{};
  TagOutcome outcome{};
  if (chain->kept != nullptr) {
    // Scanned and judged when the headers came in: held, so it may be
    // tagged.
    KeptPage* kept = chain->kept;
    facts = &kept->facts;
    config = &kept->config;
    FinishBodyWatch(&kept->watch);
    outcome = DecideTag(pfc, chain, *facts, kept->plan, *config, heap, frame,
                        &kept->watch, &place);
  } else {
    // Headers never judged as they came in are scanned and judged now.
    frame->facts = ScanResponseHeaders(chain->head);
    if ((facts->flags & kIsHtml) == 0) return;
    const HeaderVerdict verdict = JudgeHeaders(pfc, *facts, &frame->config);
    outcome = verdict.hold
                  ? DecideTag(pfc, chain, *facts, verdict.plan, frame->config,
                              heap, frame, nullptr, &place)
                  : verdict.outcome;
  }
  // Plan, in chain order: the length in the headers, the result header at
  // their end, the body.
  const bool tagged = outcome.result == TagResult::kTagged;
  EditPlan plan = EmptyEditPlan();
  if (tagged) PlanSpliceLength(&plan, *facts, place, &frame->splice);
  if (DiagnosticsOn(config->diagnostics, config->diagnosticsLength))
    PlanResultHeader(&plan, *facts, outcome, &frame->result);
  if (tagged) PlanBodySplice(&plan, place, &frame->splice);
  // Apply.
  ApplyEditPlan(chain, plan);
}

void ReleaseTagFrame(const WorkingHeap& heap, TagFrame* frame) {
  ReleaseBuffer(heap, &frame->encoded);
  ReleaseDecoded(heap, &frame->decoded);
  ReleaseFraming(heap, &frame->framing);
  ReleaseBlockText(heap, &frame->text);
}
