#include "zframe.hpp"

using namespace zf;

namespace {
void body(Module&) {}
}  // namespace

ZF_MODULE(ferrowen, nullptr, body)
