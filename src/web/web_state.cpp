#include "web/web_state.h"

namespace qb {

WebState& Web() {
  static WebState state;
  return state;
}

void ResetWeb() {
  Web() = WebState{};
}

}  // namespace qb
