// The window layer as a program's handlers see it: control properties by layout name, menus, the
// tray and the hand-over of work to the window's thread. The real one lives in runtime/win32, a
// headless fake in fake_ui.h; the facilities that are not about the window are in system.h.
//
// Threads: the window's state is touched on the window's thread only. Every control operation may be
// called from any thread: off that thread it is carried over by Invoke and the caller waits for it.
//
// Error policy: nothing here throws. Operations that can fail say so in their result; the programs'
// handlers ignore most of those results on purpose (they report nothing of their own).
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "runtime/function_ref.h"
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

// Window handles and window procedures, as plain values so the portable code can hold them.
#if defined(_WIN32)
#define RT_CALLBACK __stdcall
#else
#define RT_CALLBACK
#endif
using NativeWindow = uintptr_t;
using WindowProc = intptr_t(RT_CALLBACK*)(NativeWindow window, unsigned message, uintptr_t wParam, intptr_t lParam);

struct EventArgs {
  int a = 0;
  int b = 0;
  int context = 0;  // the binding's own argument (e.g. which of several alike controls)
};

class Ui;
// A handler's result matters only for CloseQuery; for every other event it is ignored.
using Handler = bool (*)(Ui&, const EventArgs&);

struct Binding {
  std::string_view control;  // layout name; "" = the window; menu items by their MenuRow name
  Event event;
  Handler handler;
  int context = 0;  // handed to the handler as EventArgs::context
};

class System;

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

  // The window's one notification-area icon: added on the first call, replaced afterwards; removed
  // with the window. `icon` is a resource id; a tooltip longer than kTooltipBytes is cut.
  virtual void SetTrayIcon(int icon, std::string_view tooltip) = 0;
  // A system-wide hotkey for the window whose presses raise `receiver`'s feedback event (id, 0).
  // `modifiers` sums kModCtrl, kModShift and kModAlt. Returns the hotkey's id, 0 on failure.
  virtual int RegisterHotkey(std::string_view receiver, int modifiers, int virtualKey) = 0;
  // The items of the top-level menu `menu` as a popup: as a tray menu (right edge 5 pixels left of
  // the pointer, top 5 above it) or with its top-left corner at a screen position. A chosen item
  // raises its selected event after the popup has closed.
  virtual void PopupTrayMenu(std::string_view menu) = 0;
  virtual void PopupMenuAt(std::string_view menu, int x, int y) = 0;
  virtual void CursorPosition(int& x, int& y) = 0;

  // The shell's "open" of an address, window shown normally.
  virtual bool OpenInShell(std::string_view address) = 0;
  // A hyperlink box: its address, and opening it (the shell first, then the ".htm" program).
  virtual void SetLinkAddress(std::string_view link, std::string_view address) = 0;
  virtual void NavigateLink(std::string_view link) = 0;

  // Windows below the controls: a control's own window, its direct children in the system's order,
  // and window subclassing. ReplaceWindowProc answers the procedure it replaced, null on failure.
  virtual NativeWindow WindowHandle(std::string_view control) = 0;
  virtual NativeWindow FirstChild(NativeWindow window) = 0;
  virtual NativeWindow NextChild(NativeWindow child) = 0;
  virtual WindowProc ReplaceWindowProc(NativeWindow window, WindowProc proc) = 0;
  virtual intptr_t CallPreviousProc(WindowProc proc, NativeWindow window, unsigned message, uintptr_t wParam,
                                    intptr_t lParam) = 0;
  virtual intptr_t DefaultWindowProc(NativeWindow window, unsigned message, uintptr_t wParam, intptr_t lParam) = 0;

  // Place and visibility of a control, in pixels relative to its parent.
  struct Place {
    int left, top, width, height;
  };
  virtual Place GetPlace(std::string_view control) = 0;
  virtual void MoveTo(std::string_view control, int left, int top) = 0;
  virtual bool IsVisible(std::string_view control) = 0;
  virtual void SetVisible(std::string_view control, bool visible) = 0;
  // A new control of the source's kind with all its properties and parent, directly after it in the
  // sibling order. Answers the copy's name ("" on failure).
  virtual std::string CopyControl(std::string_view source) = 0;
  // Appends at the end of an edit box: caret to the end, scrolled into view, no line break added.
  virtual void AppendText(std::string_view edit, std::string_view text) = 0;

  // A bar control's position (0..100 for a progress bar).
  virtual void SetBarPosition(std::string_view bar, int position) = 0;

  // Runs `work` on the window's thread and returns when it has run: a plain call on that thread, a
  // hand-over from any other. False, with `work` not run, once the window is gone. Work handed over
  // runs one piece at a time, so a piece of several control changes is never interleaved with another.
  virtual bool Invoke(FunctionRef<void()> work) = 0;
  // Raises `label`'s feedback event (a, b) on the window's thread from any thread; returns when the
  // handler has returned.
  virtual void RaiseFeedback(std::string_view label, int a, int b) = 0;
  // Window's thread only: waits about `ms` milliseconds while still running work handed over from
  // other threads, so a worker blocked in Invoke can finish.
  virtual void Wait(int ms) = 0;

  // Handles every pending message of the window's thread; false once the window has been destroyed.
  virtual bool ProcessMessages() = 0;
  virtual void Sleep(int ms) = 0;

  // The facilities that are not about the window.
  virtual System& system() = 0;
};

inline constexpr size_t kTooltipBytes = 62;
inline constexpr const char* kCopySeparator = "#";  // a copy is named source + "#" + n
// The run time's own modifier codes; they are not the system's MOD_ values.
inline constexpr int kModCtrl = 1, kModShift = 2, kModAlt = 4;

// Runs the handler bound to (control, event), if any. Returns the handler's result, or `otherwise`.
bool Dispatch(std::span<const Binding> bindings, Ui& ui, std::string_view control, Event event,
              const EventArgs& args = {}, bool otherwise = true);

}  // namespace rt
