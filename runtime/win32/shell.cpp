// The tray icon, the hotkey, popup menus, and what goes through the shell.
#include "runtime/win32/window.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <iterator>

#include "runtime/text.h"
#include "runtime/win32/app.h"
#include "runtime/win32/system_win32.h"

namespace rt::win32 {

constexpr UINT kTrayId = 1;
constexpr int kHotkeyId = 1;

bool Window::AddOrModifyTrayIcon(DWORD action) {
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof nid;
  nid.hWnd = hwnd_;
  nid.uID = kTrayId;
  nid.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
  nid.uCallbackMessage = kTrayMessage;
  nid.hIcon = trayIcon_.get();
  trayTip_.copy(nid.szTip, std::size(nid.szTip) - 1);
  return Shell_NotifyIconW(action, &nid) != FALSE;
}

void Window::RemoveTrayIcon() {
  if (!trayAdded_) return;
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof nid;
  nid.hWnd = hwnd_;
  nid.uID = kTrayId;
  Shell_NotifyIconW(NIM_DELETE, &nid);
  trayAdded_ = false;
}

void Window::SetTrayIcon(int icon, std::string_view tooltip) {
  OnWindowThread([&] {
    // The shell has a copy of the old icon once it is modified; only then may ours go.
    UniqueIcon previous = std::move(trayIcon_);
    trayIcon_.reset(static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(icon), IMAGE_ICON,
                                                  GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0)));
    // Cut in GBK bytes, so no half character reaches the shell.
    trayTip_ = Wide(CutAtCharBoundary(tooltip, kTooltipBytes));
    if (trayAdded_) {
      AddOrModifyTrayIcon(NIM_MODIFY);
    } else {
      trayAdded_ = AddOrModifyTrayIcon(NIM_ADD);
    }
  });
}

int Window::RegisterHotkey(std::string_view receiver, int modifiers, int virtualKey) {
  return OnWindowThread([&] {
    const UINT system = ((modifiers & kModCtrl) ? MOD_CONTROL : 0) | ((modifiers & kModShift) ? MOD_SHIFT : 0) |
                        ((modifiers & kModAlt) ? MOD_ALT : 0);
    Control* c = Find(receiver);
    if (!c || !RegisterHotKey(hwnd_, kHotkeyId, system, UINT(virtualKey))) return 0;
    hotkeyReceiver_ = c->row->name;
    return kHotkeyId;
  });
}

HMENU Window::Submenu(std::string_view menu) {
  auto it = submenus_.find(menu);
  return it == submenus_.end() ? nullptr : it->second;
}

void Window::Popup(std::string_view menu, int x, int y, UINT flags) {
  HMENU popup = Submenu(menu);
  if (!popup) return;
  // Without the foreground window the menu would not close when the user clicks elsewhere, and
  // without the message after it a second popup would close at once (a known shell quirk).
  SetForegroundWindow(hwnd_);
  TrackPopupMenu(popup, flags, x, y, 0, hwnd_, nullptr);
  PostMessageW(hwnd_, WM_NULL, 0, 0);
}

void Window::PopupTrayMenu(std::string_view menu) {
  OnWindowThread([&] {
    POINT pt;
    GetCursorPos(&pt);
    Popup(menu, pt.x - 5, pt.y - 5, TPM_RIGHTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON);
  });
}

void Window::PopupMenuAt(std::string_view menu, int x, int y) {
  OnWindowThread([&] { Popup(menu, x, y, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON); });
}

void Window::CursorPosition(int& x, int& y) {
  POINT pt{};
  GetCursorPos(&pt);
  x = pt.x;
  y = pt.y;
}

bool Window::OpenInShell(std::string_view address) {
  auto result = INT_PTR(ShellExecuteW(nullptr, L"open", Wide(address).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

void Window::SetLinkAddress(std::string_view link, std::string_view address) {
  OnWindowThread([&] {
    if (Control* c = Find(link); c && c->row->kind == Kind::Hyperlink) linkAddresses_[c->row->name] = address;
  });
}

void Window::NavigateLink(std::string_view link) {
  OnWindowThread([&] {
    Control* c = Find(link);
    if (!c || c->row->kind != Kind::Hyperlink) return;
    const std::string& address = linkAddresses_[c->row->name];
    if (OpenInShell(address)) return;
    wchar_t command[2048];
    DWORD size = std::size(command);
    if (AssocQueryStringW(ASSOCF_NOTRUNCATE, ASSOCSTR_COMMAND, L".htm", L"open", command, &size) != S_OK) return;
    StartCommand(Wide(HtmOpenCommand(Narrow(command), address)), SW_SHOW, false);
  });
}

}  // namespace rt::win32
