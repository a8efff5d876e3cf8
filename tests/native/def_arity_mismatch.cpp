// Must not compile: the definition names two parameters for a body of one.
// .ci/lint checks that the compiler refuses it with the frame's own words.
#include "zf.hpp"

using namespace zf;

namespace {

object one(handle) { return None; }

void body(Module& m) { m.def<one>({.name = "one", .params = {"a", "b"}}); }

}  // namespace

ZF_MODULE(mismatch, "", body)
