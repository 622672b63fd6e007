// The engine's own geometry for the window's picture, compiled here from the
// engine's model so that the picture cannot drift from what the notes use.
// The model lives in an anonymous namespace; only its shape_tract is used.
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#include "engine/model.h"

#include "tract_view.h"

namespace tractwave_lv2 {

void tract_shape(const float *parameters, float *oral, float *nasal,
                 float *velum) {
  shape_tract(parameters, oral, nasal, velum);
}

} // namespace tractwave_lv2
