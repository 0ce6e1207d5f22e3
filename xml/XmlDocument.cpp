// Parsing into the element index, cursor navigation and attribute reads.
#include "XmlDocument.h"

#include <algorithm>
#include <unordered_map>

#include "XmlSyntax.h"

using xml::IsSpace;

namespace {

constexpr size_t kMaxResultLength = 999;
// Names quoted in the result report are cut to this length.
constexpr size_t kMaxReportedName = 100;
// Shortest start tag, "<a>": bounds the records a text can produce.
constexpr uint32_t kShortestStartTag = 3;

std::u16string Number(uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

void AppendEscaped(std::u16string& out, std::u16string_view value) {
  for (char16_t c : value) {
    switch (c) {
      case u'&': out += u"&amp;"; break;
      case u'<': out += u"&lt;"; break;
      case u'>': out += u"&gt;"; break;
      case u'"': out += u"&quot;"; break;
      default: out += c; break;
    }
  }
}

// Element and attribute names end at white space and at the delimiters of the tag syntax.
bool EndsName(char16_t c) {
  switch (c) {
    case u'/': case u'>': case u'=': case u'<': case u'?': case u'"': case u'\'':
      return true;
    default:
      return IsSpace(c);
  }
}

bool StartsName(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' ||
         c >= 0x80;
}

// The argument must equal the name and end where it ends: at its own end or at a character
// of the path syntax.
bool NameMatches(std::u16string_view argument, std::u16string_view name) {
  if (argument.size() < name.size()) return false;
  if (argument.substr(0, name.size()) != name) return false;
  if (argument.size() == name.size()) return true;
  switch (argument[name.size()]) {
    case u' ': case u'/': case u'=': case u'[': case u']':
      return true;
    default:
      return false;
  }
}

size_t NameEnd(std::u16string_view text, size_t pos, size_t end) {
  while (pos < end && !EndsName(text[pos])) ++pos;
  return pos;
}

// How far `text` at `pos` agrees with `prefix`: 1 all of it, 0 it differs, -1 the text ends
// while agreeing.
int PrefixState(std::u16string_view text, size_t pos, std::u16string_view prefix) {
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (pos + i >= text.size()) return -1;
    if (text[pos + i] != prefix[i]) return 0;
  }
  return 1;
}

}  // namespace

struct XmlDocument::OpenElement {
  uint32_t index;
  std::u16string_view name;
};

XmlDocument::XmlDocument() = default;
XmlDocument::~XmlDocument() = default;

const std::u16string& XmlDocument::GetResult() const { return result_; }
const std::u16string& XmlDocument::GetDoc() const { return doc_; }
uint32_t XmlDocument::GetDocFlags() const { return docFlags_; }
uint32_t XmlDocument::GetElementCount() const { return count_; }

const ElementRecord* XmlDocument::GetElement(uint32_t index) const {
  return index < count_ ? &Record(index) : nullptr;
}

void XmlDocument::AddResult(
    std::u16string_view entry,
    std::initializer_list<std::pair<const char*, std::u16string>> attributes) {
  if (result_.size() > kMaxResultLength) return;
  result_ += u'<';
  result_ += entry;
  for (const auto& [name, value] : attributes) {
    result_ += u' ';
    for (const char* p = name; *p != 0; ++p) result_ += static_cast<char16_t>(*p);
    result_ += u"=\"";
    AppendEscaped(result_, std::u16string_view(value).substr(0, kMaxReportedName));
    result_ += u'"';
  }
  result_ += u"/>";
}

void XmlDocument::ClearIndex() {
  segments_.clear();
  count_ = 0;
  const uint64_t length = doc_.size();
  capacity_ = static_cast<uint32_t>(length / 64 + 8);
  maxRecords_ = static_cast<uint32_t>(length / kShortestStartTag + 2);
  parent_ = current_ = child_ = 0;
  nodeType_ = nodeOffset_ = nodeLength_ = 0;
  AddRecord();
  Record(0).length = static_cast<uint32_t>(length);
}

uint32_t XmlDocument::AddRecord() {
  if (count_ >= maxRecords_) return 0;
  if (count_ == capacity_) capacity_ = count_ + std::max<uint32_t>(1, count_ / 2);
  // A segment is allocated whole once the capacity reaches into it and never reallocated.
  const uint64_t covered = std::min(capacity_, maxRecords_);
  while (static_cast<uint64_t>(segments_.size()) * kSegmentRecords < covered) {
    const uint64_t base = static_cast<uint64_t>(segments_.size()) * kSegmentRecords;
    const uint64_t size = std::min<uint64_t>(kSegmentRecords, maxRecords_ - base);
    segments_.emplace_back(new ElementRecord[size]);
  }
  Record(count_) = ElementRecord{};
  return count_++;
}

std::u16string_view XmlDocument::ElementName(uint32_t index) const {
  const ElementRecord& r = Record(index);
  const std::u16string_view text(doc_);
  const size_t tagEnd = std::min<size_t>(text.size(), size_t{r.start} + (r.tagLengths & kMaxStartTagLength));
  const size_t begin = std::min<size_t>(size_t{r.start} + 1, tagEnd);
  return text.substr(begin, NameEnd(text, begin, tagEnd) - begin);
}

bool XmlDocument::Parse() {
  if (doc_.size() > UINT32_MAX) doc_.resize(UINT32_MAX);
  ClearIndex();
  const std::u16string_view t(doc_);
  const size_t n = t.size();

  std::vector<OpenElement> stack;
  // Stack depths of the open elements by name, innermost last: an end tag finds its element
  // without walking the stack.
  std::unordered_map<std::u16string_view, std::vector<uint32_t>> openByName;
  // Elements were re-attached: the levels of whole subtrees changed, set once at the end.
  bool levelsMoved = false;

  auto markIllFormed = [&](uint32_t enclosing) {
    Record(0).flagsAndLevel |= kDocNotWellFormed;
    Record(enclosing).flagsAndLevel |= kIllFormedInside;
  };
  auto innermost = [&]() -> uint32_t { return stack.empty() ? 0 : stack.back().index; };
  auto syntaxError = [&](std::u16string_view entry, size_t offset) {
    AddResult(entry, {{"offset", Number(offset)}});
    markIllFormed(innermost());
  };
  auto unterminated = [&](const char16_t* type, size_t offset) {
    AddResult(u"unterminated_tag_syntax", {{"type", type}, {"offset", Number(offset)}});
    markIllFormed(innermost());
  };
  auto limitExceeded = [&](const char16_t* type, size_t offset) {
    AddResult(u"limit_exceeded", {{"type", type}, {"offset", Number(offset)}});
    markIllFormed(innermost());
  };
  auto appendChild = [&](uint32_t parent, uint32_t child) {
    ElementRecord& p = Record(parent);
    ElementRecord& c = Record(child);
    c.parent = parent;
    if (p.firstChild == 0) {
      p.firstChild = child;
      c.previous = child;
      c.flagsAndLevel |= kFirstChild;
      return;
    }
    ElementRecord& first = Record(p.firstChild);
    Record(first.previous).next = child;
    c.previous = first.previous;
    first.previous = child;
  };
  // The children of `element`, the last child of `parent`, become its following siblings.
  auto hoistChildren = [&](uint32_t element, uint32_t parent) {
    ElementRecord& e = Record(element);
    const uint32_t first = e.firstChild;
    if (first == 0) return;
    const uint32_t last = Record(first).previous;
    e.firstChild = 0;
    e.next = first;
    Record(first).previous = element;
    Record(first).flagsAndLevel &= ~kFirstChild;
    Record(Record(parent).firstChild).previous = last;
    for (uint32_t c = first; c != 0; c = Record(c).next) Record(c).parent = parent;
    levelsMoved = true;
  };
  auto pop = [&]() {
    std::vector<uint32_t>& depths = openByName[stack.back().name];
    depths.pop_back();
    if (depths.empty()) openByName.erase(stack.back().name);
    stack.pop_back();
  };
  // Closes the open elements from `depth` up as never ended; `at` is where that was found.
  auto closeUnended = [&](size_t depth, size_t at) {
    if (depth >= stack.size()) return;
    const uint32_t parent = depth == 0 ? 0 : stack[depth - 1].index;
    for (size_t k = stack.size(); k-- > depth;) {
      ElementRecord& r = Record(stack[k].index);
      r.flagsAndLevel |= kUnended;
      r.length = r.tagLengths & kMaxStartTagLength;
      AddResult(u"unended_start_tag", {{"tagname", std::u16string(stack[k].name)},
                                       {"offset", Number(r.start)},
                                       {"offset2", Number(at)}});
    }
    // Outermost first: each hoist leaves the next open element as the parent's last child.
    for (size_t k = depth; k < stack.size(); ++k) hoistChildren(stack[k].index, parent);
    while (stack.size() > depth) pop();
    markIllFormed(parent);
  };

  size_t i = 0;
  while (i < n) {
    const size_t lt = t.find(u'<', i);
    if (lt == std::u16string_view::npos) break;
    i = lt;
    if (i + 1 >= n) {
      unterminated(u"tag", i);
      break;
    }
    const char16_t c = t[i + 1];
    if (c == u'/') {
      const size_t nameBegin = i + 2;
      const size_t nameEnd = NameEnd(t, nameBegin, n);
      const size_t gt = t.find(u'>', nameEnd);
      if (gt == std::u16string_view::npos) {
        unterminated(u"end_tag", i);
        break;
      }
      const std::u16string_view name = t.substr(nameBegin, nameEnd - nameBegin);
      const auto match = openByName.find(name);
      if (match == openByName.end()) {
        AddResult(u"lone_end_tag", {{"tagname", std::u16string(name)}, {"offset", Number(i)}});
        markIllFormed(innermost());
      } else {
        const size_t depth = match->second.back();
        closeUnended(depth + 1, i);
        ElementRecord& r = Record(stack[depth].index);
        size_t endTagLength = gt + 1 - i;
        if (endTagLength > kMaxEndTagLength) {
          limitExceeded(u"end_tag", i);
          endTagLength = kMaxEndTagLength;
        }
        r.length = static_cast<uint32_t>(gt + 1 - r.start);
        r.tagLengths |= static_cast<uint32_t>(endTagLength) << 22;
        pop();
      }
      i = gt + 1;
    } else if (c == u'?') {
      const size_t close = t.find(u"?>", i + 2);
      if (close == std::u16string_view::npos) {
        unterminated(u"processing_instruction", i);
        break;
      }
      i = close + 2;
    } else if (c == u'!') {
      if (i + 2 >= n) {
        unterminated(u"tag", i);
        break;
      }
      const char16_t d = t[i + 2];
      if (d == u'-') {
        const int state = PrefixState(t, i, u"<!--");
        if (state == 0) {
          syntaxError(u"comment_tag_syntax", i);
          ++i;
          continue;
        }
        const size_t close = state > 0 ? t.find(u"-->", i + 4) : std::u16string_view::npos;
        if (close == std::u16string_view::npos) {
          unterminated(u"comment", i);
          break;
        }
        i = close + 3;
      } else if (d == u'[') {
        const int state = PrefixState(t, i, u"<![CDATA[");
        if (state == 0) {
          syntaxError(u"cdata_section_syntax", i);
          ++i;
          continue;
        }
        const size_t close = state > 0 ? t.find(u"]]>", i + 9) : std::u16string_view::npos;
        if (close == std::u16string_view::npos) {
          unterminated(u"cdata_section", i);
          break;
        }
        i = close + 3;
      } else if (d == u'D') {
        const int state = PrefixState(t, i, u"<!DOCTYPE");
        if (state == 0 || (state > 0 && i + 9 < n && !IsSpace(t[i + 9]) && t[i + 9] != u'>' &&
                           t[i + 9] != u'[')) {
          syntaxError(u"doctype_tag_syntax", i);
          ++i;
          continue;
        }
        // Up to the '>' outside the internal subset and outside quotes. Comments and
        // processing instructions inside the subset are skipped whole: an apostrophe or a
        // bracket in their text is no syntax.
        size_t k = i + 2;
        size_t brackets = 0;
        char16_t quote = 0;
        for (; k < n; ++k) {
          const char16_t e = t[k];
          if (quote != 0) {
            if (e == quote) quote = 0;
          } else if (brackets > 0 && e == u'<' && PrefixState(t, k, u"<!--") > 0) {
            const size_t close = t.find(u"-->", k + 4);
            k = close == std::u16string_view::npos ? n : close + 2;
          } else if (brackets > 0 && e == u'<' && k + 1 < n && t[k + 1] == u'?') {
            const size_t close = t.find(u"?>", k + 2);
            k = close == std::u16string_view::npos ? n : close + 1;
          } else if (e == u'"' || e == u'\'') {
            quote = e;
          } else if (e == u'[') {
            ++brackets;
          } else if (e == u']') {
            if (brackets > 0) --brackets;
          } else if (e == u'>' && brackets == 0) {
            break;
          }
        }
        if (k >= n) {
          unterminated(u"document_type", i);
          break;
        }
        i = k + 1;
      } else {
        syntaxError(u"exclamation_tag_syntax", i);
        ++i;
      }
    } else if (StartsName(c)) {
      const size_t nameEnd = NameEnd(t, i + 1, n);
      size_t k = nameEnd;
      bool ended = false;
      while (k < n) {
        const char16_t e = t[k];
        if (e == u'"' || e == u'\'') {
          // A quote that is never closed is taken as a plain character.
          const size_t close = t.find(e, k + 1);
          if (close != std::u16string_view::npos) {
            k = close + 1;
            continue;
          }
        }
        if (e == u'>') {
          ended = true;
          break;
        }
        ++k;
      }
      if (!ended) {
        unterminated(u"start_tag", i);
        break;
      }
      const bool empty = t[k - 1] == u'/' && k - 1 >= nameEnd;
      const uint32_t index = AddRecord();
      if (index == 0) break;  // cannot happen: the text bounds the record count
      size_t startTagLength = k + 1 - i;
      if (startTagLength > kMaxStartTagLength) {
        limitExceeded(u"start_tag", i);
        startTagLength = kMaxStartTagLength;
      }
      size_t level = stack.size() + 1;
      if (level > kMaxLevel) {
        limitExceeded(u"level", i);
        level = kMaxLevel;
      }
      ElementRecord& r = Record(index);
      r.start = static_cast<uint32_t>(i);
      r.length = static_cast<uint32_t>(startTagLength);
      r.tagLengths = static_cast<uint32_t>(startTagLength);
      r.flagsAndLevel = static_cast<uint32_t>(level);
      appendChild(innermost(), index);
      if (!empty) {
        const std::u16string_view name = t.substr(i + 1, nameEnd - i - 1);
        openByName[name].push_back(static_cast<uint32_t>(stack.size()));
        stack.push_back(OpenElement{index, name});
      }
      i = k + 1;
    } else {
      syntaxError(u"first_tag_syntax", i);
      ++i;
    }
  }
  closeUnended(0, n);
  if (levelsMoved) {
    // A parent always has a lower index than its children, re-attached or not.
    for (uint32_t index = 1; index < count_; ++index) {
      ElementRecord& r = Record(index);
      const uint32_t parentLevel = r.parent == 0 ? 0 : Record(r.parent).flagsAndLevel & kLevelMask;
      r.flagsAndLevel = (r.flagsAndLevel & ~kLevelMask) | std::min(kMaxLevel, parentLevel + 1);
    }
  }

  const uint32_t root = Record(0).firstChild;
  if (root == 0) {
    AddResult(u"no_root_element", {});
  } else if (Record(root).next != 0) {
    const uint32_t second = Record(root).next;
    AddResult(u"root_has_sibling", {{"tagname", std::u16string(ElementName(second))},
                                    {"offset", Number(Record(second).start)}});
  }
  return (Record(0).flagsAndLevel & kDocNotWellFormed) == 0 && root != 0 &&
         Record(root).next == 0;
}

void XmlDocument::RewindLevel() {
  current_ = 0;
  child_ = 0;
  nodeType_ = 0;
}

bool XmlDocument::FindNextElement(const std::u16string& name) {
  if ((docFlags_ & kStreamWrite) != 0 || count_ == 0) return false;
  if (!name.empty() && name[0] == u'/') return false;
  uint32_t candidate = current_ != 0 ? Record(current_).next : Record(parent_).firstChild;
  for (; candidate != 0; candidate = Record(candidate).next) {
    if (name.empty() || NameMatches(name, ElementName(candidate))) break;
  }
  if (candidate == 0) return false;
  current_ = candidate;
  child_ = 0;
  nodeType_ = 1;
  return true;
}

bool XmlDocument::EnterElement() {
  if (current_ == 0 || nodeType_ != 1) return false;
  parent_ = current_;
  current_ = child_;
  child_ = 0;
  nodeType_ = current_ != 0 ? 1 : 0;
  return true;
}

bool XmlDocument::LeaveElement() {
  if (parent_ == 0) return false;
  child_ = current_;
  current_ = parent_;
  parent_ = Record(parent_).parent;
  nodeType_ = 1;
  return true;
}

template <typename Visit>
void XmlDocument::VisitAttributes(uint32_t index, Visit&& visit) const {
  const ElementRecord& r = Record(index);
  const std::u16string_view text(doc_);
  const size_t tagEnd =
      std::min<size_t>(text.size(), size_t{r.start} + (r.tagLengths & kMaxStartTagLength));
  const std::u16string_view tagName = ElementName(index);
  const size_t from = std::min<size_t>(tagEnd, size_t{r.start} + 1 + tagName.size());
  xml::ScanAttributes(text.substr(0, tagEnd), from, visit);
}

std::u16string XmlDocument::ReadAttribute(const std::u16string& name) const {
  if (current_ == 0 || nodeType_ != 1) return {};
  std::u16string value;
  VisitAttributes(current_, [&](std::u16string_view attribute, std::u16string_view raw) {
    if (!NameMatches(name, attribute)) return false;
    value = xml::DecodeValue(raw);
    return true;
  });
  return value;
}

std::u16string XmlDocument::GetElementName(uint32_t index) const {
  if (index == 0 || index >= count_) return {};
  return std::u16string(ElementName(index));
}

std::vector<std::u16string> XmlDocument::GetAttributeNames(uint32_t index) const {
  std::vector<std::u16string> names;
  if (index == 0 || index >= count_) return names;
  VisitAttributes(index, [&](std::u16string_view name, std::u16string_view) {
    names.emplace_back(name);
    return false;
  });
  return names;
}
