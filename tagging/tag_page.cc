#include "tagging/tag_page.h"

#include "tagging/duplicate_check.h"
#include "tagging/header_verdict.h"
#include "tagging/markup_start.h"

namespace {

// The body's first byte: after the CR and LF of the empty line. False
// when the response ends there, or the empty line's CR has no LF.
bool FirstBodyByte(const ResponseFacts& facts, ChainCursor* first) {
  ChainCursor c = facts.bodyStart;
  if (!StepForward(&c) || ByteAt(c) != '\n' || !StepForward(&c)) return false;
  *first = c;
  return true;
}

// The page bytes to read: from `from` to the end of `last`'s chain.
struct PageBytes {
  ChainCursor from;
  const ChunkNode* last;
};

}  // namespace

void StartTagFrame(TagFrame* frame) {
  frame->framing = FramedBody{};
  frame->decoded = DecodedBody{};
  frame->encoded = HeapBuffer{nullptr, 0, 0};
  StartBlockText(&frame->text);
}

TagOutcome TagCandidate(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                        const ResponseFacts& facts, const CodingPlan& plan,
                        const SiteConfig& config, const WorkingHeap& heap,
                        TagFrame* frame, const BodyWatch* watch) {
  TagOutcome outcome{};
  const auto finish = [&outcome](TagResult result) {
    outcome.result = result;
    return outcome;
  };
  const TagResult prepared =
      PrepareBlockText(pfc, facts, config, heap, &frame->text);
  if (prepared != TagResult::kTagged) return finish(prepared);
  ChainCursor first{};
  const bool hasBody = FirstBodyByte(facts, &first);
  const bool coded = plan.chunked || plan.content != ContentCoding::kNone;
  if (!hasBody) {
    // An empty line without its LF: only a plain page is read as before.
    if (coded) return finish(TagResult::kCodingInvalid);
  }

  // Framing: the data bytes, read through a view that leaves the size
  // lines out.
  bool framed = false;
  if (plan.chunked && hasBody) {
    switch (
        ReadFraming(heap, &first, HeldMemoryRoom(*chain), &frame->framing)) {
      case Framing::kBroken:
        return finish(TagResult::kCodingInvalid);
      case Framing::kRefused:
        return finish(TagResult::kNoMemory);
      case Framing::kFramed:
        // Within the room it was given, so it always counts.
        TakeHeldMemory(chain, frame->framing.memory);
        framed = true;
        break;
      case Framing::kPlain:
        break;
    }
  }
  // The page as the tag search reads it. A plain page is read from the
  // empty line's LF on, as the headers' end was found.
  PageBytes page{};
  bool pageEmpty = false;
  if (framed) {
    pageEmpty = frame->framing.viewCount == 0;
    if (!pageEmpty) {
      page = PageBytes{CursorAtStart(frame->framing.view),
                       &frame->framing.view[frame->framing.viewCount - 1]};
    }
  } else {
    ChainCursor from = facts.bodyStart;
    pageEmpty = !StepForward(&from);
    page = PageBytes{from, chain->tail};
  }
  if (pageEmpty) return finish(TagResult::kNoClosingBodyTag);

  // Content coding: the bytes decoded, when they are in the coding.
  bool compressed = false;
  if (plan.content != ContentCoding::kNone) {
    // A plain page's body begins after the LF (there is one: a coded
    // response without it was refused above).
    const ChainCursor* input = framed ? &page.from : &first;
    switch (DecodeBody(heap, plan.content, input, &frame->decoded)) {
      case Decoding::kRefuse:
        return finish(TagResult::kCodingInvalid);
      case Decoding::kTooLarge:
        return finish(TagResult::kTooLarge);
      case Decoding::kNoMemory:
        return finish(TagResult::kNoMemory);
      case Decoding::kDecoded:
        compressed = true;
        break;
      case Decoding::kPlain:
        break;
    }
  }
  // A body not in a coding its headers announce is tagged as the page
  // itself only when it reads as one: anything else may be a coding read
  // wrongly, which the block would corrupt.
  const bool plainUnderCoding =
      !compressed &&
      ((plan.chunked && !framed) || plan.content != ContentCoding::kNone);
  if (plainUnderCoding && !ReadsAsMarkup(framed ? page.from : first)) {
    return finish(TagResult::kCodingInvalid);
  }
  if (compressed) {
    if (frame->decoded.pageLength == 0)
      return finish(TagResult::kNoClosingBodyTag);
    ChunkNode* record = &frame->page;
    record->data = frame->decoded.page;
    record->length = static_cast<std::uint32_t>(frame->decoded.pageLength);
    record->prev = record;  // a closed chain of one record
    record->next = nullptr;
    page = PageBytes{CursorAtStart(record), record};
  }

  ChainCursor tag;
  // The watch saw the plain page's bytes as they were copied.
  const bool watched = watch != nullptr && watch->on && !framed &&
                       !compressed && !frame->text.ownMarker;
  if (watched                 ? watch->found
      : frame->text.ownMarker ? CarriesMarker(page.from, frame->text.marker)
                              : CarriesTrackingScript(page.from)) {
    return finish(TagResult::kAlreadyTagged);
  }
  const bool plainBody = watch != nullptr && !framed && !compressed;
  if (!(plainBody
            ? FindWatchedClosingBodyTag(*watch, page.last, page.from, &tag)
            : FindLastClosingBodyTag(page.last, page.from, &tag))) {
    return finish(TagResult::kNoClosingBodyTag);
  }
  SpliceFrame* splice = &frame->splice;
  // It fails only when memory for a split account header is refused.
  if (frame->text.built) {
    // At most 16 MiB: ExpandBlockText refuses a longer text.
    FillBuiltBlock(config, frame->text.text.bytes,
                   static_cast<std::uint32_t>(frame->text.text.length),
                   &splice->block);
  } else if (!FillTrackingBlock(pfc, facts, config, &splice->block)) {
    return finish(TagResult::kNoMemory);
  }
  outcome.decoded = compressed ? plan.content : ContentCoding::kNone;
  outcome.framed = framed;

  if (compressed) {
    InsertText insert[5];
    for (int i = 0; i < 5; ++i) {
      insert[i] = InsertText{splice->block.pieces[i]->data,
                             splice->block.pieces[i]->length};
    }
    std::uint64_t kept = 0;
    const auto at = static_cast<std::uint64_t>(tag.pos - frame->decoded.page);
    if (!EncodeTagged(heap, frame->decoded, at, insert, 5, &kept,
                      &frame->encoded)) {
      return finish(TagResult::kNoMemory);
    }
    // A length no record can state leaves the body as it came.
    if (frame->encoded.length > 0xFFFFFFF0u)
      return finish(TagResult::kTooLarge);
    SpliceCompressed(chain, facts, first, framed ? &frame->framing : nullptr,
                     kept, frame->encoded.bytes,
                     static_cast<std::uint32_t>(frame->encoded.length), splice);
    return finish(TagResult::kTagged);
  }
  if (framed) {
    SpliceIntoFramed(chain, frame->framing, tag, splice);
  } else {
    SpliceIntoPlain(chain, facts, tag, splice);
  }
  return finish(TagResult::kTagged);
}

void TagHeldResponse(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                     const WorkingHeap& heap, TagFrame* frame) {
  const ResponseFacts facts = ScanResponseHeaders(chain->head);
  if ((facts.flags & kIsHtml) == 0) return;
  const SiteConfig* config = &frame->config;
  TagOutcome outcome{};
  if (chain->kept != nullptr) {
    // Judged when the headers came in: held, so it may be tagged.
    config = &chain->kept->config;
    FinishBodyWatch(&chain->kept->watch);
    outcome = TagCandidate(pfc, chain, facts, chain->kept->plan, *config, heap,
                           frame, &chain->kept->watch);
  } else {
    const HeaderVerdict verdict = JudgeHeaders(pfc, facts, &frame->config);
    outcome = verdict.hold ? TagCandidate(pfc, chain, facts, verdict.plan,
                                          frame->config, heap, frame)
                           : verdict.outcome;
  }
  // Last, once the page's own edits are done.
  if (DiagnosticsOn(config->diagnostics, config->diagnosticsLength))
    InsertResultHeader(chain, outcome, &frame->result);
}

void ReleaseTagFrame(const WorkingHeap& heap, TagFrame* frame) {
  ReleaseBuffer(heap, &frame->encoded);
  ReleaseDecoded(heap, &frame->decoded);
  ReleaseFraming(heap, &frame->framing);
  ReleaseBlockText(heap, &frame->text);
}
