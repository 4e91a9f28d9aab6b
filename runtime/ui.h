// The window layer as a program's handlers see it: control properties by layout name, and the
// facilities of the run time. The real one lives in runtime/win32, a headless fake in fake_ui.h.
//
// Error policy: nothing here throws. Operations that can fail say so in their result; the programs'
// handlers ignore most of those results on purpose (they report nothing of their own).
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "runtime/layout.h"

namespace rt {

using Text = std::string;  // bytes in code page 936 (GBK)

enum class Event : uint8_t {
  Created,         // the window and all its controls exist
  Clicked,         // button
  Tick,            // timer period elapsed
  Feedback,        // label feedback event (a, b)
  BeforeNavigate,  // browser about to navigate
  Tray,            // tray icon event of the window (a = kind)
  Selected,        // menu item chosen
  CloseQuery,      // window asked to close; result false refuses
};

struct EventArgs {
  int a = 0;
  int b = 0;
};

class Ui;
// A handler's result matters only for CloseQuery; for every other event it is ignored.
using Handler = bool (*)(Ui&, const EventArgs&);

struct Binding {
  std::string_view control;  // layout name; "" = the window; menu items by their MenuRow name
  Event event;
  Handler handler;
};

// Message box styles (the values of the system's MB_ flags); the run time adds task-modal.
constexpr unsigned kIconError = 0x10;
constexpr unsigned kIconInformation = 0x40;

class Ui {
 public:
  virtual ~Ui() = default;

  virtual Text GetText(std::string_view control) = 0;
  virtual void SetText(std::string_view control, std::string_view text) = 0;

  virtual int GetPeriod(std::string_view timer) = 0;
  // Applies the timer rules of timer.h.
  virtual void SetPeriod(std::string_view timer, int ms) = 0;

  // Every call starts a new navigation of the browser to `address`, exactly as given.
  virtual void Navigate(std::string_view browser, std::string_view address) = 0;

  virtual bool IsWindowVisible() = 0;
  virtual void SetWindowVisible(bool visible) = 0;
  // Destroys the window once the current handler has returned; the last window ends the program.
  virtual void PostDestroyWindow() = 0;

  // A system message box with no owner, caption "信息：", OK only; waits until it is closed.
  virtual int ShowMessage(std::string_view text, unsigned style) = 0;
};

// Runs the handler bound to (control, event), if any. Returns the handler's result, or `otherwise`.
bool Dispatch(std::span<const Binding> bindings, Ui& ui, std::string_view control, Event event,
              const EventArgs& args = {}, bool otherwise = true);

}  // namespace rt
