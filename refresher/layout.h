// The main window: its layout rows and the names the handlers address.
#pragma once
#include "runtime/layout.h"

namespace refresher {

extern const rt::Layout kLayout;

// Menu items, by the names the bindings use.
inline constexpr std::string_view kHideItem = "隐藏窗口";
inline constexpr std::string_view kShowItem = "显示界面";
inline constexpr std::string_view kExitItem = "退出程序";
inline constexpr std::string_view kHomeItem = "官方网站";
inline constexpr std::string_view kDirectoryItem = "站长导航";
inline constexpr std::string_view kDomainItem = "域名";

}  // namespace refresher
