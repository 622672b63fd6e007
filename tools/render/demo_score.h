// The built-in demo score: the text of examples/demo.json, compiled in.
#pragma once

namespace tw::render {
extern const char kDemoScore[];
}
