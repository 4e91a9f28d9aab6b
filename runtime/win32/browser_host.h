// The system's web browser control in a small OLE container of our own: one child window per
// browser, the control in-place active inside it, and its BeforeNavigate2 event as a callback.
//
// Error policy: nothing throws. A control that cannot be created leaves a blank window behind, and
// Navigate then does nothing; the callers never need to know.
#pragma once
#include <windows.h>

#include <wrl/client.h>

#include <functional>
#include <memory>
#include <string>

struct IOleObject;
struct IWebBrowser2;
struct IConnectionPoint;

namespace rt::win32 {

class BrowserSite;

class BrowserHost {
 public:
  // A child window of `parent` (x, y may be negative and the size larger than the parent: the parent
  // clips it) with the control in place-activated inside it, silent, text size medium.
  // `onBeforeNavigate` runs synchronously on the window thread for every BeforeNavigate2; the
  // navigation always proceeds. Null only when the window itself could not be created.
  static std::unique_ptr<BrowserHost> Create(HWND parent, int x, int y, int w, int h, int id,
                                             std::function<void()> onBeforeNavigate);
  ~BrowserHost();
  BrowserHost(const BrowserHost&) = delete;
  BrowserHost& operator=(const BrowserHost&) = delete;

  HWND Window() const { return window_; }

  // A new navigation on every call, also to the current address; the address goes as given.
  void Navigate(const std::wstring& address);

 private:
  friend class BrowserSite;

  explicit BrowserHost(std::function<void()> onBeforeNavigate);
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  void Embed();
  void FitControl();
  void SetTextSizeMedium();
  // Called by the site for the events it receives.
  void BeforeNavigate();
  void DocumentComplete();

  HWND window_ = nullptr;
  std::function<void()> onBeforeNavigate_;
  Microsoft::WRL::ComPtr<BrowserSite> site_;
  Microsoft::WRL::ComPtr<IOleObject> object_;
  Microsoft::WRL::ComPtr<IWebBrowser2> browser_;
  Microsoft::WRL::ComPtr<IConnectionPoint> events_;
  DWORD cookie_ = 0;
};

}  // namespace rt::win32
