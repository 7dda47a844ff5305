#include "filter_method.h"

#include "directional_filter.h"

namespace voluna {

std::unique_ptr<BoxMethod> filterMethod(const FilterParams& params, float* out) {
  return std::make_unique<DirectionalFilter>(params, out);
}

}  // namespace voluna
