// Ownership of system handles: one template, one alias per kind of handle. A handle is closed exactly
// once, by its owner, whatever way the owner's scope ends.
#pragma once
#include <windows.h>

#include <wininet.h>

#include <utility>

namespace rt::win32 {

// `Traits` names the handle type, its "none" value and how it is closed.
template <typename Traits>
class UniqueHandle {
  using T = typename Traits::Type;
  static T Invalid() { return Traits::Invalid(); }

 public:
  UniqueHandle() = default;
  explicit UniqueHandle(T handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  T get() const { return handle_; }
  explicit operator bool() const { return handle_ != Invalid(); }
  T release() { return std::exchange(handle_, Invalid()); }
  void reset(T handle = Invalid()) {
    if (handle_ != Invalid()) Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  T handle_ = Invalid();
};

namespace detail {
template <typename H, auto CloseFn>
struct NullIsNone {
  using Type = H;
  static H Invalid() { return nullptr; }
  static void Close(H h) { CloseFn(h); }
};
template <auto CloseFn>
struct InvalidValueIsNone {
  using Type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { CloseFn(h); }
};
}  // namespace detail

using UniqueWindow = UniqueHandle<detail::NullIsNone<HWND, DestroyWindow>>;
using UniqueIcon = UniqueHandle<detail::NullIsNone<HICON, DestroyIcon>>;
using UniqueFont = UniqueHandle<detail::NullIsNone<HFONT, DeleteObject>>;
using UniqueBrush = UniqueHandle<detail::NullIsNone<HBRUSH, DeleteObject>>;
using UniqueMenu = UniqueHandle<detail::NullIsNone<HMENU, DestroyMenu>>;  // only a menu no window owns
using UniqueInternet = UniqueHandle<detail::NullIsNone<HINTERNET, InternetCloseHandle>>;
using UniqueKernel = UniqueHandle<detail::NullIsNone<HANDLE, CloseHandle>>;  // thread, process, event
using UniqueFile = UniqueHandle<detail::InvalidValueIsNone<CloseHandle>>;    // what CreateFile answers
using UniqueFind = UniqueHandle<detail::InvalidValueIsNone<FindClose>>;
using UniqueKey = UniqueHandle<detail::NullIsNone<HKEY, RegCloseKey>>;

// A device context of the whole screen, for measuring text.
class ScreenDc {
 public:
  ScreenDc() : dc_(GetDC(nullptr)) {}
  ~ScreenDc() { ReleaseDC(nullptr, dc_); }
  ScreenDc(const ScreenDc&) = delete;
  ScreenDc& operator=(const ScreenDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HDC dc_;
};

}  // namespace rt::win32
