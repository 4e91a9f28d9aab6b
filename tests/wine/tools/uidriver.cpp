// Drives other programs' windows from outside, the way a user would, for the Wine tests.
// One long-lived process: a command per line on stdin (fields separated by TAB, UTF-8), one
// line of JSON per answer on stdout. Staying alive matters under Wine: every new Wine process
// costs far more than any command here.
//
// Commands (windows are decimal or 0x handles; answers {"ok":true,...} or {"ok":false,"error":...}):
//   start CMDLINE [CWD]           wait_exit MS [PID] -> exit_code     kill [PID]
//   windows                       children HWND      wait_window TITLE|* CLASS|* MS [PID]
//   text HWND   settext HWND TEXT   click HWND (posted BM_CLICK)   close HWND   post HWND MSG WP LP
//   foreground HWND   focus   mouse X Y left|right|double   key COMBO (alt+e, esc, ...)   type TEXT
//   tab_rect HWND INDEX   tab_sel HWND   tabs HWND   cursor   screen   ping   quit
//   keydown COMBO   keyup COMBO (half a key combination, to hold keys around other input)
//   at X Y -> the window under a screen point   gui HWND -> GetGUIThreadInfo of the window's thread
//   tooltips HWND -> the tools of a tooltip window: text and place on the screen
//   reg_get KEY NAME -> key_exists, exists, value   reg_set KEY NAME VALUE   reg_delete KEY
//     (KEY as HKLM\... / HKCU\... / HKCR\...; NAME empty for the default value; REG_SZ only)
//   resources PID -> handles, gdi, user (the system's counts), handle_list, gdi_table (as Wine keeps them)
#include <windows.h>
#include <commctrl.h>

#include "runtime/win32/handle.h"
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string Quote(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A JSON object built field by field; values are already-encoded JSON.
class Obj {
 public:
  Obj& Raw(const char* key, const std::string& json) {
    if (body_.size() > 1) body_ += ',';
    body_ += Quote(key) + ":" + json;
    return *this;
  }
  Obj& Str(const char* key, const std::string& utf8) { return Raw(key, Quote(utf8)); }
  Obj& Num(const char* key, long long v) { return Raw(key, std::to_string(v)); }
  Obj& Bool(const char* key, bool v) { return Raw(key, v ? "true" : "false"); }
  std::string Done() const { return body_ + "}"; }

 private:
  std::string body_ = "{";
};

std::string Array(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out + "]";
}

std::string RectJson(const RECT& r) {
  return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom) + "]";
}

long long HandleNum(HWND h) { return static_cast<long long>(reinterpret_cast<uintptr_t>(h)); }

struct Failure {
  std::string message;
};

[[noreturn]] void Fail(const std::string& message) { throw Failure{message}; }

long long ParseInt(const std::string& s) {
  if (s.empty()) Fail("expected a number");
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 0);
  if (*end != '\0') Fail("not a number: " + s);
  return v;
}

HWND ParseWindow(const std::string& s) {
  HWND h = reinterpret_cast<HWND>(static_cast<uintptr_t>(ParseInt(s)));
  if (!IsWindow(h)) Fail("no such window: " + s);
  return h;
}

std::string ClassOf(HWND h) {
  wchar_t buf[256];
  int n = GetClassNameW(h, buf, 256);
  return Narrow(std::wstring(buf, n > 0 ? static_cast<size_t>(n) : 0));
}

// For a window of another process GetWindowTextW answers from the caption the system keeps and
// sends nothing, so a hung owner cannot block the listing.
std::string CaptionOf(HWND h) {
  wchar_t buf[1024];
  int n = GetWindowTextW(h, buf, 1024);
  return Narrow(std::wstring(buf, n > 0 ? static_cast<size_t>(n) : 0));
}

constexpr UINT kSendTimeoutMs = 2000;

// WM_GETTEXT crosses processes (the system copies the buffer back); an edit control of another
// process answers GetWindowText with nothing, so the message has to be sent.
bool SentText(HWND h, std::string* out) {
  DWORD_PTR len = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &len)) return false;
  std::vector<wchar_t> buf(len + 1, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG,
                           kSendTimeoutMs, &got))
    return false;
  *out = Narrow(std::wstring(buf.data(), got < buf.size() ? got : buf.size() - 1));
  return true;
}

std::string TopLevelJson(HWND h) {
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  RECT r{}, client{};
  GetWindowRect(h, &r);
  GetClientRect(h, &client);  // as screen coordinates: the part under the caption and menu bar
  MapWindowPoints(h, nullptr, reinterpret_cast<POINT*>(&client), 2);
  return Obj()
      .Num("hwnd", HandleNum(h))
      .Num("pid", pid)
      .Num("owner", HandleNum(GetWindow(h, GW_OWNER)))
      .Str("class", ClassOf(h))
      .Str("title", CaptionOf(h))
      .Bool("visible", IsWindowVisible(h))
      .Bool("enabled", IsWindowEnabled(h))
      .Raw("rect", RectJson(r))
      .Raw("client", RectJson(client))
      .Done();
}

std::string ChildJson(HWND h) {
  RECT r{};
  GetWindowRect(h, &r);
  Obj o;
  o.Num("hwnd", HandleNum(h))
      .Num("parent", HandleNum(GetAncestor(h, GA_PARENT)))
      .Str("class", ClassOf(h))
      .Num("id", GetDlgCtrlID(h))
      .Bool("visible", IsWindowVisible(h))
      .Bool("enabled", IsWindowEnabled(h))
      .Raw("rect", RectJson(r));
  std::string text;
  if (SentText(h, &text))
    o.Str("text", text);
  else
    o.Raw("text", "null");
  DWORD_PTR pos = 0;  // a progress bar's position: no pointer in the message, so it crosses processes
  if (_wcsicmp(Widen(ClassOf(h)).c_str(), PROGRESS_CLASSW) == 0 &&
      SendMessageTimeoutW(h, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &pos))
    o.Num("pos", long(pos));
  return o.Done();
}

BOOL CALLBACK CollectWindow(HWND h, LPARAM lp) {
  reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
  return TRUE;
}

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> all;
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
  return all;
}

// EnumChildWindows already walks the whole subtree, depth first, in the system's order.
std::vector<HWND> Descendants(HWND parent) {
  std::vector<HWND> all;
  EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&all));
  return all;
}

std::map<DWORD, rt::win32::UniqueKernel> g_started;  // the processes this driver started
DWORD g_last = 0;

HANDLE StartedProcess(const std::vector<std::string>& f, size_t index) {
  DWORD pid = f.size() > index ? static_cast<DWORD>(ParseInt(f[index])) : g_last;
  auto it = g_started.find(pid);
  if (it == g_started.end()) Fail("no process started with pid " + std::to_string(pid));
  return it->second.get();
}

std::string CmdStart(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: start <commandline> [<cwd>]");
  std::wstring cmd = Widen(f[1]);
  std::wstring cwd = f.size() > 2 ? Widen(f[2]) : std::wstring();
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // CreateProcessW may write into the command line, so it gets a buffer of its own.
  std::vector<wchar_t> line(cmd.begin(), cmd.end());
  line.push_back(L'\0');
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, cwd.empty() ? nullptr : cwd.c_str(),
                      &si, &pi))
    Fail("CreateProcess failed: " + std::to_string(GetLastError()));
  rt::win32::UniqueKernel thread(pi.hThread);
  g_started[pi.dwProcessId] = rt::win32::UniqueKernel(pi.hProcess);
  g_last = pi.dwProcessId;
  return Obj().Bool("ok", true).Num("pid", pi.dwProcessId).Done();
}

std::string CmdWaitExit(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: wait_exit <ms> [<pid>]");
  DWORD ms = static_cast<DWORD>(ParseInt(f[1]));
  HANDLE p = StartedProcess(f, 2);
  DWORD w = WaitForSingleObject(p, ms);
  if (w == WAIT_TIMEOUT) Fail("timeout");
  if (w != WAIT_OBJECT_0) Fail("wait failed: " + std::to_string(GetLastError()));
  DWORD code = 0;
  GetExitCodeProcess(p, &code);
  return Obj().Bool("ok", true).Num("exit_code", code).Done();
}

std::string CmdKill(const std::vector<std::string>& f) {
  HANDLE p = StartedProcess(f, 1);
  if (WaitForSingleObject(p, 0) == WAIT_OBJECT_0) return Obj().Bool("ok", true).Bool("was_running", false).Done();
  if (!TerminateProcess(p, 1)) Fail("TerminateProcess failed: " + std::to_string(GetLastError()));
  WaitForSingleObject(p, 10000);
  return Obj().Bool("ok", true).Bool("was_running", true).Done();
}

std::string CmdWindows() {
  std::vector<std::string> items;
  for (HWND h : TopLevelWindows()) items.push_back(TopLevelJson(h));
  return Obj().Bool("ok", true).Raw("windows", Array(items)).Done();
}

std::string CmdChildren(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: children <hwnd>");
  HWND parent = ParseWindow(f[1]);
  std::vector<std::string> items;
  for (HWND h : Descendants(parent)) items.push_back(ChildJson(h));
  return Obj().Bool("ok", true).Raw("children", Array(items)).Done();
}

std::string CmdWaitWindow(const std::vector<std::string>& f) {
  if (f.size() < 4) Fail("usage: wait_window <title or *> <class or *> <ms> [<pid>]");
  std::wstring title = Widen(f[1]);
  std::wstring cls = Widen(f[2]);
  DWORD ms = static_cast<DWORD>(ParseInt(f[3]));
  DWORD want_pid = f.size() > 4 ? static_cast<DWORD>(ParseInt(f[4])) : 0;
  DWORD start = GetTickCount();
  for (;;) {
    for (HWND h : TopLevelWindows()) {
      if (!IsWindowVisible(h)) continue;
      if (want_pid) {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        if (pid != want_pid) continue;
      }
      wchar_t buf[1024];
      if (cls != L"*") {
        int n = GetClassNameW(h, buf, 1024);
        if (cls != std::wstring(buf, n > 0 ? static_cast<size_t>(n) : 0)) continue;
      }
      if (title != L"*") {
        int n = GetWindowTextW(h, buf, 1024);
        if (title != std::wstring(buf, n > 0 ? static_cast<size_t>(n) : 0)) continue;
      }
      return Obj().Bool("ok", true).Raw("window", TopLevelJson(h)).Done();
    }
    if (GetTickCount() - start >= ms) Fail("timeout");
    Sleep(20);
  }
}

std::string CmdText(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: text <hwnd>");
  std::string text;
  if (!SentText(ParseWindow(f[1]), &text)) Fail("WM_GETTEXT timed out");
  return Obj().Bool("ok", true).Str("text", text).Done();
}

std::string CmdSetText(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: settext <hwnd> <text>");
  HWND h = ParseWindow(f[1]);
  std::wstring text = Widen(f.size() > 2 ? f[2] : std::string());
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutW(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                           kSendTimeoutMs, &r))
    Fail("WM_SETTEXT timed out");
  return Obj().Bool("ok", true).Num("result", static_cast<long long>(r)).Done();
}

std::string CmdPost(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (!PostMessageW(h, msg, wp, lp)) Fail("PostMessage failed: " + std::to_string(GetLastError()));
  return Obj().Bool("ok", true).Done();
}

std::string CmdForeground(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: foreground <hwnd>");
  HWND h = ParseWindow(f[1]);
  SetForegroundWindow(h);
  // Activation of another process's window completes in that process's thread, later.
  DWORD start = GetTickCount();
  while (GetForegroundWindow() != h) {
    if (GetTickCount() - start >= 5000)
      Fail("still not in the foreground; foreground is " + std::to_string(HandleNum(GetForegroundWindow())));
    Sleep(20);
  }
  return Obj().Bool("ok", true).Num("foreground", HandleNum(h)).Done();
}

std::string CmdFocus() {
  HWND fg = GetForegroundWindow();
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  HWND focus = nullptr;
  if (fg && GetGUIThreadInfo(GetWindowThreadProcessId(fg, nullptr), &info)) focus = info.hwndFocus;
  return Obj().Bool("ok", true).Num("foreground", HandleNum(fg)).Num("focus", HandleNum(focus)).Done();
}

void Send(std::vector<INPUT>& inputs) {
  UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  if (sent != inputs.size()) Fail("SendInput sent " + std::to_string(sent) + " of " + std::to_string(inputs.size()));
}

std::string CmdMouse(const std::vector<std::string>& f) {
  if (f.size() < 4) Fail("usage: mouse <x> <y> <left|right|double>");
  int x = static_cast<int>(ParseInt(f[1]));
  int y = static_cast<int>(ParseInt(f[2]));
  const std::string& kind = f[3];
  DWORD down, up;
  int clicks = 1;
  if (kind == "left") {
    down = MOUSEEVENTF_LEFTDOWN, up = MOUSEEVENTF_LEFTUP;
  } else if (kind == "right") {
    down = MOUSEEVENTF_RIGHTDOWN, up = MOUSEEVENTF_RIGHTUP;
  } else if (kind == "double") {
    down = MOUSEEVENTF_LEFTDOWN, up = MOUSEEVENTF_LEFTUP, clicks = 2;
  } else {
    Fail("unknown button: " + kind);
  }
  // Absolute coordinates are 0..65535 across the screen; rounding up lands on the pixel itself
  // whichever way the system scales them back.
  int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
  auto event = [&](DWORD flags) {
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dx = static_cast<LONG>((static_cast<long long>(x) * 65536 + w - 1) / w);
    in.mi.dy = static_cast<LONG>((static_cast<long long>(y) * 65536 + h - 1) / h);
    in.mi.dwFlags = flags | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    return in;
  };
  // Under Wine the X pointer follows the cursor a moment later, and a pointer event from before
  // the warp sets the cursor back for a while (seen about 50 ms after each move). So wait until
  // the cursor has stayed put before pressing; the button events carry the position as well.
  std::vector<INPUT> move{event(0)};
  Send(move);
  DWORD start = GetTickCount(), moved = start, still_since = 0;
  POINT p{};
  for (;;) {
    DWORD now = GetTickCount();
    GetCursorPos(&p);
    if (p.x == x && p.y == y) {
      if (!still_since) still_since = now;
      if (now - still_since >= 150) break;
    } else {
      still_since = 0;
      if (now - moved >= 300) {
        Send(move);
        moved = now;
      }
    }
    if (now - start >= 5000)
      Fail("cursor stays at " + std::to_string(p.x) + "," + std::to_string(p.y) + " (clipped?)");
    Sleep(10);
  }
  std::vector<INPUT> buttons;
  for (int i = 0; i < clicks; ++i) {
    buttons.push_back(event(down));
    buttons.push_back(event(up));
  }
  Send(buttons);
  return Obj().Bool("ok", true).Raw("cursor", "[" + std::to_string(p.x) + "," + std::to_string(p.y) + "]").Done();
}

struct KeyName {
  const char* name;
  WORD vk;
  bool extended;
};

constexpr KeyName kKeys[] = {
    {"ctrl", VK_CONTROL, false},   {"control", VK_CONTROL, false}, {"alt", VK_MENU, false},
    {"shift", VK_SHIFT, false},    {"win", VK_LWIN, true},         {"esc", VK_ESCAPE, false},
    {"escape", VK_ESCAPE, false},  {"return", VK_RETURN, false},   {"enter", VK_RETURN, false},
    {"tab", VK_TAB, false},        {"space", VK_SPACE, false},     {"backspace", VK_BACK, false},
    {"delete", VK_DELETE, true},   {"del", VK_DELETE, true},       {"insert", VK_INSERT, true},
    {"home", VK_HOME, true},       {"end", VK_END, true},          {"pageup", VK_PRIOR, true},
    {"pagedown", VK_NEXT, true},   {"up", VK_UP, true},            {"down", VK_DOWN, true},
    {"left", VK_LEFT, true},       {"right", VK_RIGHT, true},      {"apps", VK_APPS, true},
};

KeyName LookUpKey(const std::string& raw) {
  std::string name;
  for (char c : raw) name += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (const KeyName& k : kKeys)
    if (name == k.name) return k;
  if (name.size() == 1 && ((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= '0' && name[0] <= '9')))
    return {nullptr, static_cast<WORD>(name[0] >= 'a' ? name[0] - 'a' + 'A' : name[0]), false};
  if (name.size() >= 2 && name[0] == 'f') {
    int n = std::atoi(name.c_str() + 1);
    if (n >= 1 && n <= 24) return {nullptr, static_cast<WORD>(VK_F1 + n - 1), false};
  }
  Fail("unknown key: " + raw);
}

INPUT KeyInput(const KeyName& k, bool up) {
  INPUT in{};
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = k.vk;
  in.ki.wScan = static_cast<WORD>(MapVirtualKeyW(k.vk, MAPVK_VK_TO_VSC));
  in.ki.dwFlags = (up ? KEYEVENTF_KEYUP : 0) | (k.extended ? KEYEVENTF_EXTENDEDKEY : 0);
  return in;
}

// "alt+e" -> the keys in pressing order.
std::vector<KeyName> ParseCombo(const std::string& combo) {
  std::vector<KeyName> keys;
  size_t start = 0;
  for (;;) {
    size_t plus = combo.find('+', start);
    keys.push_back(LookUpKey(combo.substr(start, plus == std::string::npos ? std::string::npos : plus - start)));
    if (plus == std::string::npos) break;
    start = plus + 1;
  }
  return keys;
}

std::string CmdKey(const std::vector<std::string>& f) {
  if (f.size() < 2 || f[1].empty()) Fail("usage: key <combo>, e.g. alt+e");
  const std::vector<KeyName> keys = ParseCombo(f[1]);
  std::vector<INPUT> inputs;
  for (const KeyName& k : keys) inputs.push_back(KeyInput(k, false));
  for (auto it = keys.rbegin(); it != keys.rend(); ++it) inputs.push_back(KeyInput(*it, true));
  Send(inputs);
  return Obj().Bool("ok", true).Done();
}

std::string CmdType(const std::vector<std::string>& f) {
  std::wstring text = Widen(f.size() > 1 ? f[1] : std::string());
  std::vector<INPUT> inputs;
  for (wchar_t c : text) {
    for (bool up : {false, true}) {
      INPUT in{};
      in.type = INPUT_KEYBOARD;
      in.ki.wScan = c;
      in.ki.dwFlags = KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0);
      inputs.push_back(in);
    }
  }
  if (!inputs.empty()) Send(inputs);
  return Obj().Bool("ok", true).Done();
}

// Memory inside the process that owns a window: common-control messages carry pointers the
// system does not marshal, so the target must be able to write through them.
class RemoteBuffer {
 public:
  RemoteBuffer(HWND h, size_t size) : size_(size) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    process_.reset(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid));
    if (!process_) Fail("OpenProcess failed: " + std::to_string(GetLastError()));
    mem_ = VirtualAllocEx(process_.get(), nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!mem_) Fail("VirtualAllocEx failed: " + std::to_string(GetLastError()));
  }
  ~RemoteBuffer() { VirtualFreeEx(process_.get(), mem_, 0, MEM_RELEASE); }
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;

  char* At(size_t offset) const { return static_cast<char*>(mem_) + offset; }
  void Write(size_t offset, const void* data, size_t n) const {
    if (offset + n > size_ || !WriteProcessMemory(process_.get(), At(offset), data, n, nullptr))
      Fail("WriteProcessMemory failed");
  }
  void Read(size_t offset, void* data, size_t n) const {
    if (offset + n > size_ || !ReadProcessMemory(process_.get(), At(offset), data, n, nullptr))
      Fail("ReadProcessMemory failed");
  }

 private:
  size_t size_;
  rt::win32::UniqueKernel process_;
  void* mem_ = nullptr;
};

LRESULT SendChecked(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutW(h, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r)) Fail("message timed out");
  return static_cast<LRESULT>(r);
}

bool TabRect(HWND tab, int index, const RemoteBuffer& buf, RECT* out) {
  if (!SendChecked(tab, TCM_GETITEMRECT, index, reinterpret_cast<LPARAM>(buf.At(0)))) return false;
  buf.Read(0, out, sizeof *out);
  MapWindowPoints(tab, nullptr, reinterpret_cast<POINT*>(out), 2);
  return true;
}

std::string CmdTabRect(const std::vector<std::string>& f) {
  if (f.size() < 3) Fail("usage: tab_rect <hwnd> <index>");
  HWND tab = ParseWindow(f[1]);
  RemoteBuffer buf(tab, sizeof(RECT));
  RECT r{};
  if (!TabRect(tab, static_cast<int>(ParseInt(f[2])), buf, &r)) Fail("TCM_GETITEMRECT failed");
  return Obj().Bool("ok", true).Raw("rect", RectJson(r)).Done();
}

std::string CmdTabSel(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: tab_sel <hwnd>");
  return Obj().Bool("ok", true).Num("sel", SendChecked(ParseWindow(f[1]), TCM_GETCURSEL, 0, 0)).Done();
}

std::string CmdTabs(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: tabs <hwnd>");
  HWND tab = ParseWindow(f[1]);
  int count = static_cast<int>(SendChecked(tab, TCM_GETITEMCOUNT, 0, 0));
  constexpr int kChars = 256;
  const size_t text_at = sizeof(TCITEMW);
  RemoteBuffer buf(tab, text_at + kChars * sizeof(wchar_t));
  std::vector<std::string> items;
  for (int i = 0; i < count; ++i) {
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = reinterpret_cast<wchar_t*>(buf.At(text_at));
    item.cchTextMax = kChars;
    buf.Write(0, &item, sizeof item);
    wchar_t zero = 0;
    buf.Write(text_at, &zero, sizeof zero);
    std::wstring text;
    if (SendChecked(tab, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(buf.At(0)))) {
      // The control may answer with a pointer of its own instead of filling the buffer.
      buf.Read(0, &item, sizeof item);
      wchar_t chars[kChars]{};
      if (item.pszText == reinterpret_cast<wchar_t*>(buf.At(text_at))) buf.Read(text_at, chars, sizeof chars);
      chars[kChars - 1] = 0;
      text = chars;
    }
    RECT r{};
    TabRect(tab, i, buf, &r);
    items.push_back(Obj().Str("text", Narrow(text)).Raw("rect", RectJson(r)).Done());
  }
  return Obj()
      .Bool("ok", true)
      .Num("sel", SendChecked(tab, TCM_GETCURSEL, 0, 0))
      .Raw("items", Array(items))
      .Done();
}

// Keys pressed in one command and released in a later one, so that mouse input can come between.
std::string CmdKeyHalf(const std::vector<std::string>& f, bool up) {
  if (f.size() < 2 || f[1].empty()) Fail("usage: keydown|keyup <combo>");
  const std::vector<KeyName> keys = ParseCombo(f[1]);
  std::vector<INPUT> inputs;
  if (up) {
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) inputs.push_back(KeyInput(*it, true));
  } else {
    for (const KeyName& k : keys) inputs.push_back(KeyInput(k, false));
  }
  Send(inputs);
  return Obj().Bool("ok", true).Done();
}

std::string CmdAt(const std::vector<std::string>& f) {
  if (f.size() < 3) Fail("usage: at <x> <y>");
  POINT p{static_cast<LONG>(ParseInt(f[1])), static_cast<LONG>(ParseInt(f[2]))};
  HWND h = WindowFromPoint(p);
  DWORD pid = 0;
  if (h) GetWindowThreadProcessId(h, &pid);
  return Obj()
      .Bool("ok", true)
      .Num("hwnd", HandleNum(h))
      .Num("parent", HandleNum(h ? GetAncestor(h, GA_PARENT) : nullptr))
      .Num("pid", pid)
      .Str("class", h ? ClassOf(h) : std::string())
      .Done();
}

std::string CmdGui(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: gui <hwnd>");
  HWND h = ParseWindow(f[1]);
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(h, nullptr), &info))
    Fail("GetGUIThreadInfo failed: " + std::to_string(GetLastError()));
  return Obj()
      .Bool("ok", true)
      .Num("flags", info.flags)
      .Bool("in_menu_mode", (info.flags & GUI_INMENUMODE) != 0)
      .Bool("popup_menu_mode", (info.flags & GUI_POPUPMENUMODE) != 0)
      .Num("active", HandleNum(info.hwndActive))
      .Num("focus", HandleNum(info.hwndFocus))
      .Num("capture", HandleNum(info.hwndCapture))
      .Num("menu_owner", HandleNum(info.hwndMenuOwner))
      .Num("move_size", HandleNum(info.hwndMoveSize))
      .Done();
}

// A tooltip control keeps its tools in the process that owns it, so the tool records and their
// texts are read through memory in that process. Tool rects are client coordinates of the tool's
// window; they are answered in screen coordinates.
std::string CmdTooltips(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: tooltips <hwnd>");
  HWND tip = ParseWindow(f[1]);
  constexpr size_t kChars = 1024;
  const size_t text_at = sizeof(TTTOOLINFOW);
  RemoteBuffer buf(tip, text_at + (kChars + 1) * sizeof(wchar_t));
  const int count = static_cast<int>(SendChecked(tip, TTM_GETTOOLCOUNT, 0, 0));
  std::vector<std::string> tools;
  for (int i = 0; i < count; ++i) {
    TTTOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    buf.Write(0, &ti, sizeof ti);
    if (!SendChecked(tip, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(buf.At(0)))) continue;
    buf.Read(0, &ti, sizeof ti);
    // TTM_ENUMTOOLS hands back the control's own text pointer; TTM_GETTEXT copies into ours.
    ti.lpszText = reinterpret_cast<wchar_t*>(buf.At(text_at));
    buf.Write(0, &ti, sizeof ti);
    std::vector<wchar_t> zeros(kChars + 1, L'\0');
    buf.Write(text_at, zeros.data(), zeros.size() * sizeof(wchar_t));
    SendChecked(tip, TTM_GETTEXTW, kChars, reinterpret_cast<LPARAM>(buf.At(0)));
    std::vector<wchar_t> text(kChars + 1, L'\0');
    buf.Read(text_at, text.data(), kChars * sizeof(wchar_t));
    RECT r = ti.rect;
    if (ti.hwnd && !(ti.uFlags & TTF_IDISHWND)) MapWindowPoints(ti.hwnd, nullptr, reinterpret_cast<POINT*>(&r), 2);
    tools.push_back(Obj()
                        .Num("window", HandleNum(ti.hwnd))
                        .Num("id", static_cast<long long>(ti.uId))
                        .Num("flags", ti.uFlags)
                        .Str("text", Narrow(text.data()))
                        .Raw("rect", RectJson(r))
                        .Done());
  }
  return Obj().Bool("ok", true).Raw("tools", Array(tools)).Done();
}

// Registry access from inside Wine: the `wine reg` tool costs a process start per call and answers
// in the locale's words.
struct RegPath {
  HKEY root;
  std::wstring sub;
};

RegPath ParseRegPath(const std::string& path) {
  static const std::pair<const char*, HKEY> kRoots[] = {
      {"HKLM", HKEY_LOCAL_MACHINE}, {"HKCU", HKEY_CURRENT_USER}, {"HKCR", HKEY_CLASSES_ROOT}};
  for (const auto& [name, root] : kRoots) {
    const size_t n = std::strlen(name);
    if (path.compare(0, n, name) == 0 && (path.size() == n || path[n] == '\\'))
      return {root, Widen(path.size() > n ? path.substr(n + 1) : std::string())};
  }
  Fail("registry path must start with HKLM, HKCU or HKCR: " + path);
}

std::string CmdRegGet(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: reg_get <key> [<name>]");
  RegPath key = ParseRegPath(f[1]);
  std::wstring name = Widen(f.size() > 2 ? f[2] : std::string());
  HKEY opened = nullptr;
  if (RegOpenKeyExW(key.root, key.sub.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
    return Obj().Bool("ok", true).Bool("key_exists", false).Bool("exists", false).Done();
  rt::win32::UniqueKey h(opened);
  DWORD type = 0, size = 0;
  LONG r = RegQueryValueExW(h.get(), name.c_str(), nullptr, &type, nullptr, &size);
  std::wstring value;
  if (r == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
    std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
    r = RegQueryValueExW(h.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &got);
    value = buf.data();
  }
  if (r != ERROR_SUCCESS) return Obj().Bool("ok", true).Bool("key_exists", true).Bool("exists", false).Done();
  if (type != REG_SZ && type != REG_EXPAND_SZ) Fail("not a string value, type " + std::to_string(type));
  return Obj().Bool("ok", true).Bool("key_exists", true).Bool("exists", true).Str("value", Narrow(value)).Done();
}

std::string CmdRegSet(const std::vector<std::string>& f) {
  if (f.size() < 4) Fail("usage: reg_set <key> <name> <value>");
  RegPath key = ParseRegPath(f[1]);
  std::wstring name = Widen(f[2]), value = Widen(f[3]);
  HKEY created = nullptr;
  LONG r = RegCreateKeyExW(key.root, key.sub.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &created, nullptr);
  if (r != ERROR_SUCCESS) Fail("RegCreateKeyEx failed: " + std::to_string(r));
  rt::win32::UniqueKey h(created);
  r = RegSetValueExW(h.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  if (r != ERROR_SUCCESS) Fail("RegSetValueEx failed: " + std::to_string(r));
  return Obj().Bool("ok", true).Done();
}

std::string CmdRegDelete(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: reg_delete <key>");
  RegPath key = ParseRegPath(f[1]);
  if (key.sub.empty()) Fail("refusing to delete a whole root");
  LONG r = RegDeleteTreeW(key.root, key.sub.c_str());
  if (r == ERROR_FILE_NOT_FOUND) return Obj().Bool("ok", true).Bool("existed", false).Done();
  if (r != ERROR_SUCCESS) Fail("RegDeleteTree failed: " + std::to_string(r));
  // RegDeleteTree empties the key; the key itself goes separately.
  r = RegDeleteKeyW(key.root, key.sub.c_str());
  if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) Fail("RegDeleteKey failed: " + std::to_string(r));
  return Obj().Bool("ok", true).Bool("existed", true).Done();
}

// Counts that grow when a program leaks kernel, GDI or USER objects; any process, not only those
// started here. Wine answers GetProcessHandleCount and GetGuiResources with 0, so two counts are
// also taken the way Wine keeps them: the process's entries in the system's handle list, and the
// used entries of the GDI handle table the process publishes in its PEB (Wine keeps one table
// per process, in the 64-bit layout Windows uses for WoW64). -1: not available.
long long SystemHandleCount(DWORD pid) {
  struct Entry {  // SYSTEM_HANDLE_INFORMATION's entry, 32-bit
    ULONG owner_pid;
    BYTE type;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
  };
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return -1;
  constexpr ULONG kSystemHandleInformation = 16;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<BYTE> buf(1 << 16);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    LONG status = query(kSystemHandleInformation, buf.data(), static_cast<ULONG>(buf.size()), &needed);
    if (status == kInfoLengthMismatch) {
      buf.resize(std::max<size_t>(buf.size() * 2, needed + 4096));
      continue;
    }
    if (status < 0) return -1;
    ULONG count = 0;
    std::memcpy(&count, buf.data(), sizeof count);
    const size_t fits = (buf.size() - sizeof(ULONG)) / sizeof(Entry);
    long long mine = 0;
    for (size_t i = 0; i < count && i < fits; ++i) {
      Entry e;
      std::memcpy(&e, buf.data() + sizeof(ULONG) + i * sizeof(Entry), sizeof e);
      if (e.owner_pid == pid) ++mine;
    }
    return mine;
  }
  return -1;
}

long long GdiTableCount(HANDLE process) {
  struct BasicInformation {  // PROCESS_BASIC_INFORMATION, 32-bit
    LONG exit_status;
    PVOID peb;
    ULONG_PTR affinity;
    LONG priority;
    ULONG_PTR pid;
    ULONG_PTR parent;
  };
  struct Entry {  // GDI_HANDLE_ENTRY, 64-bit layout: Type 0 is a free entry, Object 0 one never used
    UINT64 object;
    ULONG owner;
    USHORT unique;
    UCHAR type;
    UCHAR flags;
    UINT64 user;
  };
  static_assert(sizeof(Entry) == 24);
  using Query = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  BasicInformation info{};
  if (!query || query(process, 0, &info, sizeof info, nullptr) < 0 || !info.peb) return -1;
  constexpr size_t kGdiTableInPeb = 0x94;
  DWORD table = 0;
  if (!ReadProcessMemory(process, static_cast<BYTE*>(info.peb) + kGdiTableInPeb, &table, sizeof table, nullptr) ||
      !table)
    return -1;
  // Entries are handed out from the start of the table; the first block never used ends the walk.
  constexpr size_t kEntries = 0x10000, kBlock = 1024;
  std::vector<Entry> block(kBlock);
  long long used = 0;
  for (size_t first = 0; first < kEntries; first += kBlock) {
    if (!ReadProcessMemory(process, reinterpret_cast<BYTE*>(static_cast<uintptr_t>(table)) + first * sizeof(Entry),
                           block.data(), kBlock * sizeof(Entry), nullptr))
      return first ? used : -1;
    bool touched = false;
    for (const Entry& e : block) {
      touched = touched || e.object || e.type;
      if (e.type) ++used;
    }
    if (!touched && first) break;
  }
  return used;
}

std::string CmdResources(const std::vector<std::string>& f) {
  if (f.size() < 2) Fail("usage: resources <pid>");
  const DWORD pid = static_cast<DWORD>(ParseInt(f[1]));
  rt::win32::UniqueKernel p(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!p) Fail("OpenProcess failed: " + std::to_string(GetLastError()));
  DWORD handles = 0;
  if (!GetProcessHandleCount(p.get(), &handles)) Fail("GetProcessHandleCount failed: " + std::to_string(GetLastError()));
  return Obj()
      .Bool("ok", true)
      .Num("handles", handles)
      .Num("gdi", GetGuiResources(p.get(), GR_GDIOBJECTS))
      .Num("user", GetGuiResources(p.get(), GR_USEROBJECTS))
      .Num("handle_list", SystemHandleCount(pid))
      .Num("gdi_table", GdiTableCount(p.get()))
      .Done();
}

std::string Handle(const std::vector<std::string>& f) {
  const std::string& c = f[0];
  if (c == "start") return CmdStart(f);
  if (c == "wait_exit") return CmdWaitExit(f);
  if (c == "kill") return CmdKill(f);
  if (c == "windows") return CmdWindows();
  if (c == "children") return CmdChildren(f);
  if (c == "wait_window") return CmdWaitWindow(f);
  if (c == "text") return CmdText(f);
  if (c == "settext") return CmdSetText(f);
  if (c == "click" && f.size() > 1) return CmdPost(ParseWindow(f[1]), BM_CLICK, 0, 0);
  if (c == "close" && f.size() > 1) return CmdPost(ParseWindow(f[1]), WM_CLOSE, 0, 0);
  if (c == "post" && f.size() > 4)
    return CmdPost(ParseWindow(f[1]), static_cast<UINT>(ParseInt(f[2])), static_cast<WPARAM>(ParseInt(f[3])),
                   static_cast<LPARAM>(ParseInt(f[4])));
  if (c == "foreground") return CmdForeground(f);
  if (c == "focus") return CmdFocus();
  if (c == "mouse") return CmdMouse(f);
  if (c == "key") return CmdKey(f);
  if (c == "type") return CmdType(f);
  if (c == "tab_rect") return CmdTabRect(f);
  if (c == "tab_sel") return CmdTabSel(f);
  if (c == "tabs") return CmdTabs(f);
  if (c == "cursor") {
    POINT p{};
    GetCursorPos(&p);
    return Obj().Bool("ok", true).Raw("cursor", "[" + std::to_string(p.x) + "," + std::to_string(p.y) + "]").Done();
  }
  if (c == "screen")
    return Obj()
        .Bool("ok", true)
        .Num("width", GetSystemMetrics(SM_CXSCREEN))
        .Num("height", GetSystemMetrics(SM_CYSCREEN))
        .Done();
  if (c == "keydown") return CmdKeyHalf(f, false);
  if (c == "keyup") return CmdKeyHalf(f, true);
  if (c == "at") return CmdAt(f);
  if (c == "gui") return CmdGui(f);
  if (c == "tooltips") return CmdTooltips(f);
  if (c == "reg_get") return CmdRegGet(f);
  if (c == "reg_set") return CmdRegSet(f);
  if (c == "reg_delete") return CmdRegDelete(f);
  if (c == "resources") return CmdResources(f);
  if (c == "ping") return Obj().Bool("ok", true).Done();
  Fail("unknown command or missing fields: " + c);
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

bool ReadLine(std::string* line) {
  line->clear();
  int c;
  while ((c = std::fgetc(stdin)) != EOF) {
    if (c == '\n') return true;
    *line += static_cast<char>(c);
  }
  return !line->empty();
}

}  // namespace

int main() {
  // Text mode would turn every "\n" of an answer into "\r\n" and eat bytes of the commands.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  std::string line;
  while (ReadLine(&line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> fields = SplitTabs(line);
    if (fields[0] == "quit") break;
    std::string answer;
    try {
      answer = Handle(fields);
    } catch (const Failure& e) {
      answer = Obj().Bool("ok", false).Str("error", e.message).Done();
    }
    answer += '\n';
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fflush(stdout);
  }
  return 0;
}
