#include "runtime/win32/browser_host.h"

#include <exdisp.h>
#include <exdispid.h>
#include <ocidl.h>
#include <ole2.h>

namespace rt::win32 {

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kClass[] = L"RtBrowserHost";

struct BstrFree {
  void operator()(BSTR text) const { SysFreeString(text); }
};
using UniqueBstr = std::unique_ptr<OLECHAR, BstrFree>;

}  // namespace

// The container side the control talks to: client site, in-place site and frame, and the sink of
// DWebBrowserEvents2 as a plain IDispatch. It outlives the host if the control keeps a reference
// after closing, so the host detaches itself first.
class BrowserSite final : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame, public IDispatch {
 public:
  BrowserSite(HWND window, BrowserHost* host) : window_(window), host_(host) {}
  void Detach() { host_ = nullptr; }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IOleClientSite)
      *out = static_cast<IOleClientSite*>(this);
    else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite)
      *out = static_cast<IOleInPlaceSite*>(this);
    else if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame)
      *out = static_cast<IOleInPlaceFrame*>(this);
    else if (iid == IID_IDispatch || iid == DIID_DWebBrowserEvents2)
      *out = static_cast<IDispatch*>(this);
    else
      *out = nullptr;
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
    *moniker = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetContainer(IOleContainer** container) override {
    *container = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow, for the in-place site and the frame alike
  STDMETHODIMP GetWindow(HWND* window) override {
    *window = window_;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, RECT* position, RECT* clip,
                                OLEINPLACEFRAMEINFO* info) override {
    *frame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *document = nullptr;
    GetClientRect(window_, position);
    *clip = *position;
    info->fMDIApp = FALSE;
    info->hwndFrame = GetAncestor(window_, GA_ROOT);
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
  STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
  STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
  // The control keeps the place the host window gives it; requests to move are declined quietly.
  STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

  // IOleInPlaceUIWindow and IOleInPlaceFrame: no tool space, menus or accelerators of ours to share.
  STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return S_OK; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return S_OK; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

  // IDispatch: the event sink, and also where the control asks its site for ambient properties.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override try {
    if (id == DISPID_BEFORENAVIGATE2) {
      if (host_) host_->BeforeNavigate();
      // Arguments arrive last first: Cancel is rgvarg[0].
      if (params && params->cArgs == 7 && params->rgvarg[0].vt == (VT_BYREF | VT_BOOL))
        *params->rgvarg[0].pboolVal = VARIANT_FALSE;
      return S_OK;
    }
    if (id == DISPID_DOCUMENTCOMPLETE) {
      if (host_) host_->DocumentComplete();
      return S_OK;
    }
    // Unknown here: for an ambient property this tells the control to use its default.
    return DISP_E_MEMBERNOTFOUND;
  } catch (...) {  // nothing unwinds through a COM caller
    return E_UNEXPECTED;
  }

 private:
  ULONG references_ = 1;
  HWND window_;
  BrowserHost* host_;
};

BrowserHost::BrowserHost(std::function<void()> onBeforeNavigate) : onBeforeNavigate_(std::move(onBeforeNavigate)) {}

std::unique_ptr<BrowserHost> BrowserHost::Create(HWND parent, int x, int y, int w, int h, int id,
                                                 std::function<void()> onBeforeNavigate) {
  static const ATOM registered = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = HBRUSH(COLOR_WINDOW + 1);
    wc.lpszClassName = kClass;
    return RegisterClassW(&wc);
  }();
  if (!registered) return nullptr;
  std::unique_ptr<BrowserHost> host(new BrowserHost(std::move(onBeforeNavigate)));
  host->window_ = CreateWindowExW(0, kClass, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_CLIPCHILDREN, x, y, w, h,
                                  parent, HMENU(INT_PTR(id)), GetModuleHandleW(nullptr), host.get());
  if (!host->window_) return nullptr;
  host->Embed();
  return host;
}

void BrowserHost::Embed() {
  if (FAILED(CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&object_)))) return;
  site_.Attach(new BrowserSite(window_, this));
  // The site goes in first: the control reads its ambient properties from it while it starts.
  object_->SetClientSite(site_.Get());
  RECT place;
  GetClientRect(window_, &place);
  object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_.Get(), 0, window_, &place);
  if (FAILED(object_.As(&browser_))) return;
  browser_->put_Silent(VARIANT_TRUE);
  ComPtr<IConnectionPointContainer> points;
  if (SUCCEEDED(object_.As(&points)) && SUCCEEDED(points->FindConnectionPoint(DIID_DWebBrowserEvents2, &events_)) &&
      FAILED(events_->Advise(static_cast<IDispatch*>(site_.Get()), &cookie_)))
    events_.Reset();
  SetTextSizeMedium();
}

BrowserHost::~BrowserHost() {
  if (events_) events_->Unadvise(cookie_);
  if (object_) {
    // Close before taking the site away: the control still calls its site while it deactivates.
    object_->Close(OLECLOSE_NOSAVE);
    object_->SetClientSite(nullptr);
  }
  if (site_) site_->Detach();
  events_.Reset();
  browser_.Reset();
  object_.Reset();
  if (window_) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
}

void BrowserHost::Navigate(const std::wstring& address) {
  if (!browser_) return;
  UniqueBstr url(SysAllocStringLen(address.data(), UINT(address.size())));
  VARIANT none;
  VariantInit(&none);  // VT_EMPTY: no flags, no target frame, no post data, no headers
  browser_->Navigate(url.get(), &none, &none, &none, &none);
}

void BrowserHost::FitControl() {
  ComPtr<IOleInPlaceObject> inPlace;
  if (!object_ || FAILED(object_.As(&inPlace))) return;
  RECT place;
  GetClientRect(window_, &place);
  inPlace->SetObjectRects(&place, &place);
}

// The zoom command needs a document: before the first one it may be refused, so it is given again
// whenever a document completes.
void BrowserHost::SetTextSizeMedium() {
  VARIANT medium;
  VariantInit(&medium);
  medium.vt = VT_I4;
  medium.lVal = 2;  // of 0 (smallest) .. 4 (largest)
  browser_->ExecWB(OLECMDID_ZOOM, OLECMDEXECOPT_DONTPROMPTUSER, &medium, nullptr);
}

void BrowserHost::BeforeNavigate() {
  // An exception must not unwind through the control's frames.
  try {
    if (onBeforeNavigate_) onBeforeNavigate_();
  } catch (...) {
  }
}

void BrowserHost::DocumentComplete() {
  if (browser_) SetTextSizeMedium();
}

LRESULT CALLBACK BrowserHost::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE)
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, LONG_PTR(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
  auto* host = reinterpret_cast<BrowserHost*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  try {
    if (msg == WM_SIZE && host) host->FitControl();
  } catch (...) {  // nothing unwinds through user32
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace rt::win32
