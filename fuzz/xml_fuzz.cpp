// Loads arbitrary bytes as a document and walks the whole tree with every navigation call
// and attribute reads, checking the cursor invariants on the way.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include "XmlDocument.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

const std::u16string kAttributeNames[] = {u"name", u"type", u"a b"};
const std::u16string kElementNames[] = {u"partition", u"a", u"b"};

// Depth-first over the tree without recursion: the cursor itself is the stack.
void Walk(XmlDocument& doc, uint32_t elements) {
  doc.RewindLevel();
  Check(!doc.EnterElement());
  uint64_t visits = 0;
  while (true) {
    if (doc.FindNextElement(u"")) {
      const uint32_t current = doc.GetCurrentIndex();
      Check(current != 0 && current < elements);
      Check(doc.GetElement(current)->parent == doc.GetParentIndex());
      // One name per element keeps the run fast; over the tree every name is tried.
      (void)doc.ReadAttribute(kAttributeNames[current % std::size(kAttributeNames)]);
      Check(++visits < elements);
      Check(doc.EnterElement());
      Check(doc.GetParentIndex() == current && doc.GetCurrentIndex() == 0);
      continue;
    }
    const uint32_t parent = doc.GetParentIndex();
    if (!doc.LeaveElement()) {
      Check(parent == 0);
      break;
    }
    Check(doc.GetCurrentIndex() == parent);
  }
  Check(visits == elements - 1);

  // Named searches from the top.
  for (const std::u16string& name : kElementNames) {
    doc.RewindLevel();
    while (doc.FindNextElement(name)) (void)doc.ReadAttribute(u"name");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  XmlDocument doc;
  (void)doc.LoadFromBytes(std::string_view(reinterpret_cast<const char*>(data), size));
  const uint32_t elements = doc.GetElementCount();
  Check(elements >= 1);
  const ElementRecord* root = doc.GetElement(0);
  Check(root->length == doc.GetDoc().size());
  for (uint32_t i = 1; i < elements; ++i) {
    const ElementRecord* r = doc.GetElement(i);
    Check(uint64_t{r->start} + r->length <= doc.GetDoc().size());
    Check(r->parent < i);
    // Every element is one level below its parent, however it came to be attached there.
    const uint32_t parentLevel =
        r->parent == 0 ? 0 : doc.GetElement(r->parent)->flagsAndLevel & XmlDocument::kLevelMask;
    Check((r->flagsAndLevel & XmlDocument::kLevelMask) ==
          std::min(XmlDocument::kMaxLevel, parentLevel + 1));
  }
  Walk(doc, elements);
  return 0;
}
