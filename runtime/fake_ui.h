// A headless window layer for tests: the controls of a layout with their properties, a virtual
// clock driving the timers, and a record of what the handlers asked the platform to do.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "runtime/ui.h"

namespace rt {

class FakeUi : public Ui {
 public:
  struct Navigation {
    std::string browser;
    std::string address;
    int64_t at;  // virtual milliseconds
  };
  struct Message {
    std::string text;
    unsigned style;
  };

  FakeUi(const Layout& layout, std::span<const Binding> bindings);

  // What a user or the system does.
  bool Raise(std::string_view control, Event event, EventArgs args = {});
  void Click(std::string_view button) { Raise(button, Event::Clicked); }
  void Select(std::string_view menuItem) { Raise(menuItem, Event::Selected); }
  // Moves the clock on, delivering every timer tick that falls due, in time order.
  void Advance(int64_t ms);

  int64_t now = 0;
  std::vector<Navigation> navigations;
  std::vector<Message> messages;
  bool destroyPosted = false;
  // Runs while a message box is "open", as the box's own message loop would (e.g. Advance).
  std::function<void()> whileMessageOpen;

  // Ui
  Text GetText(std::string_view control) override;
  void SetText(std::string_view control, std::string_view text) override;
  int GetPeriod(std::string_view timer) override;
  void SetPeriod(std::string_view timer, int ms) override;
  void Navigate(std::string_view browser, std::string_view address) override;
  bool IsWindowVisible() override { return visible_; }
  void SetWindowVisible(bool visible) override { visible_ = visible; }
  void PostDestroyWindow() override { destroyPosted = true; }
  int ShowMessage(std::string_view text, unsigned style) override;

 private:
  struct Timer {
    int period = 0;
    int64_t due = 0;
  };
  const Layout& layout_;
  std::span<const Binding> bindings_;
  std::map<std::string, std::string, std::less<>> texts_;
  std::map<std::string, Timer, std::less<>> timers_;
  bool visible_ = true;
};

}  // namespace rt
