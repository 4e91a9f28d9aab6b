#include "runtime/ui.h"

namespace rt {

bool Dispatch(std::span<const Binding> bindings, Ui& ui, std::string_view control, Event event, const EventArgs& args,
              bool otherwise) {
  for (const Binding& b : bindings) {
    if (b.event != event || b.control != control) continue;
    EventArgs withContext = args;
    withContext.context = b.context;
    return b.handler(ui, withContext);
  }
  return otherwise;
}

}  // namespace rt
