// Every binding of each program names a control or menu item of that program's layout: the real
// window ignores an unknown name, so a typo would silently leave a handler unbound.
#include <gtest/gtest.h>

#include "refresher/layout.h"
#include "refresher/refresher.h"
#include "updater/layout.h"
#include "updater/updater.h"

namespace {

bool Names(const rt::Layout& layout, std::string_view name) {
  if (name.empty() || layout.Find(name)) return true;  // "" is the window itself
  for (const rt::MenuRow& item : layout.menu)
    if (item.name == name) return true;
  return false;
}

TEST(Bindings, NameControlsOrMenuItemsOfTheirLayout) {
  struct Program {
    const char* name;
    const rt::Layout& layout;
    std::span<const rt::Binding> bindings;
  } programs[] = {{"refresher", refresher::kLayout, refresher::Bindings()},
                  {"updater", updater::kLayout, updater::Bindings()}};
  for (const Program& p : programs) {
    EXPECT_FALSE(p.bindings.empty()) << p.name;
    for (const rt::Binding& b : p.bindings) EXPECT_TRUE(Names(p.layout, b.control)) << p.name << ": " << b.control;
  }
}

}  // namespace
