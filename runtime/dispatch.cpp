#include "runtime/ui.h"

namespace rt {

bool Dispatch(std::span<const Binding> bindings, Ui& ui, std::string_view control, Event event,
              const EventArgs& args, bool otherwise) {
  for (const Binding& b : bindings)
    if (b.event == event && b.control == control) return b.handler(ui, args);
  return otherwise;
}

}  // namespace rt
