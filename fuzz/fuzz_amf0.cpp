// The AMF0 decoder on any bytes: it consumes no more than it was given, and
// what it decodes stays within its limits of depth and count.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "libs/tarvel/amf0.h"

namespace {

// Depth and value count of a decoded tree, walked without recursion.
void measure(const tarvel::Amf0Value& root, int* depth, size_t* values) {
  std::vector<std::pair<const tarvel::Amf0Value*, int>> stack{{&root, 1}};
  *depth = 0;
  *values = 0;
  while (!stack.empty()) {
    auto [v, d] = stack.back();
    stack.pop_back();
    ++*values;
    if (d > *depth) *depth = d;
    for (const auto& m : v->members) stack.push_back({&m.second, d + 1});
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string name;
  if (tarvel::readAmf0Name(data, size, &name) && name.size() + 3 > size)
    fuzz::fail("a name longer than its bytes");
  tarvel::Amf0Value value;
  size_t used = tarvel::readAmf0(data, size, &value);
  if (used > size) fuzz::fail("consumed more bytes than given");
  if (used > 0) {
    int depth;
    size_t values;
    measure(value, &depth, &values);
    // The root and its containers: kAmf0MaxDepth levels, and their scalars one more.
    if (depth > tarvel::kAmf0MaxDepth + 1) fuzz::fail("nesting beyond the limit");
    if (values > tarvel::kAmf0MaxValues) fuzz::fail("more values than the limit");
    if (values > used) fuzz::fail("more values than bytes");
  }
  // A script tag's body: the name then the value.
  if (size > 3 && tarvel::readAmf0Name(data, size, &name)) {
    size_t at = 3 + name.size();
    if (tarvel::readAmf0(data + at, size - at, &value) > size - at) fuzz::fail("overrun after the name");
  }
  return 0;
}
