#include "refresher/layout.h"

#include <array>

#include "refresher/maker.h"

namespace refresher {
namespace {

// The rows are a table: kept aligned by hand.
// clang-format off
constexpr rt::Font kSongTi9{"宋体", -12, 400, 134 /* GB2312_CHARSET */};

using rt::ControlRow;
using rt::Kind;
using rt::Rgb;

constexpr uint32_t kRed = Rgb(255, 0, 0);
constexpr uint32_t kBlack = Rgb(0, 0, 0);
constexpr uint32_t kWhite = Rgb(255, 255, 255);

constexpr char kNotice[] =
    "本软件由" MAKER_SITE_NAME "出品 2010-2014 "
    "<a href=\"http://" MAKER_SITE "?KORVA\" target=\"_blank\">QQ" MAKER_CONTACT "</a> "
    "<a href=\"" MAKER_HOME "\" target=\"_blank\"><font color=\"#ff0000\">" MAKER_SITE_NAME "</font></a> "
    MAKER_SITE " " MAKER_REGISTRATION;

constexpr char kNoticeStyle[] =
    "body { font-size: 9pt; color: #000000; font-family: 宋体, Verdana; background: #aad5f4; margin: 0; }\n"
    "a:link, a:visited, a:hover, a:active { text-decoration: none; }\n"
    "a { target-new: window; }\n"
    "h1 { font-size: 14pt; } h2 { font-size: 12pt; color: #ff9900; } h3 { font-size: 10pt; color: #ff9900; }\n"
    "h4 { font-size: 9pt; } h5 { font-size: 8pt; color: #ff9900; } h6 { font-size: 65%; color: #626262; }\n"
    "pre, code { font-family: 宋体; } code { color: #990000; }\n"
    "sub, sup { font-size: 65%; } big { font-size: 12pt; } small { font-size: 65%; }\n"
    ".comment { color: green; }\n";

// The seven controls of one refresh page, inside its frame.
struct PageNames {
  std::string_view page, frame, addressCaption, addressBox, intervalCaption, intervalBox, start, stop, browser;
  std::string_view address, browserAddress;
  int startTop;
};

constexpr PageNames kPages[5] = {
    {"挂机窗口1", "外形框1", "透明标签1", "编辑框1", "透明标签2", "编辑框2", "按钮1", "按钮2", "超文本浏览框1",
     "http://" MAKER_SITE "/?soft", "http://" MAKER_SITE "/KORVA/a.htm", 1},
    {"挂机窗口2", "外形框3", "透明标签4", "编辑框4", "透明标签3", "编辑框3", "按钮4", "按钮3", "超文本浏览框3", "", "", 2},
    {"挂机窗口3", "外形框4", "透明标签6", "编辑框6", "透明标签5", "编辑框5", "按钮6", "按钮5", "超文本浏览框4", "", "", 2},
    {"挂机窗口4", "外形框5", "透明标签8", "编辑框8", "透明标签7", "编辑框7", "按钮8", "按钮7", "超文本浏览框5", "", "", 2},
    {"挂机窗口5", "外形框6", "透明标签10", "编辑框10", "透明标签9", "编辑框9", "按钮10", "按钮9", "超文本浏览框6", "", "", 2},
};

constexpr int kPageRows = 9;
constexpr int kOtherRows = 11;

constexpr std::array<ControlRow, kPageRows> PageRows(const PageNames& p, bool current) {
  return {{
      {.name = p.page, .kind = Kind::TabPage, .parent = "高级选择夹1", .text = p.page,
       .flags = current ? rt::kCurrentPage : 0u},
      {.name = p.frame, .kind = Kind::Frame, .parent = p.page, .x = 0, .y = 23, .w = 637, .h = 387,
       .bg = rt::kFaceColour, .lineColour = kRed, .lineWidth = 1},
      {.name = p.addressCaption, .kind = Kind::TransparentLabel, .parent = p.frame, .x = 3, .y = 6, .w = 55, .h = 15,
       .text = "网站地址:", .fg = kBlack, .flags = rt::kCentre | rt::kVCentre},
      {.name = p.addressBox, .kind = Kind::Edit, .parent = p.frame, .x = 58, .y = 2, .w = 315, .h = 20,
       .text = p.address, .fg = Rgb(144, 0, 255), .bg = kWhite, .flags = rt::kTabStop | rt::kThinBorder},
      {.name = p.intervalCaption, .kind = Kind::TransparentLabel, .parent = p.frame, .x = 382, .y = 6, .w = 55,
       .h = 15, .text = "刷新时间:", .fg = kBlack, .flags = rt::kVCentre},
      {.name = p.intervalBox, .kind = Kind::Edit, .parent = p.frame, .x = 438, .y = 2, .w = 65, .h = 20,
       .text = "3000", .fg = kRed, .bg = kWhite, .flags = rt::kTabStop | rt::kThinBorder},
      {.name = p.start, .kind = Kind::Button, .parent = p.frame, .x = 505, .y = p.startTop, .w = 65, .h = 20,
       .text = "启动挂机", .font = &kSongTi9, .flags = rt::kTabStop},
      {.name = p.stop, .kind = Kind::Button, .parent = p.frame, .x = 571, .y = 2, .w = 65, .h = 20,
       .text = "停止挂机", .flags = rt::kTabStop},
      {.name = p.browser, .kind = Kind::Browser, .parent = p.frame, .x = 1, .y = 22, .w = 638, .h = 365,
       .text = p.browserAddress, .flags = rt::kTabStop},
  }};
}

constexpr std::array<ControlRow, kOtherRows> kWindowRows = {{
    {.name = "高级选择夹1", .kind = Kind::Tab, .parent = "", .x = 1, .y = 0, .w = 638, .h = 411,
     .font = &kSongTi9, .flags = rt::kTabStop},
    {.name = "外形框2", .kind = Kind::Frame, .parent = "", .x = 0, .y = 411, .w = 639, .h = 62,
     .bg = rt::kFaceColour, .lineColour = kBlack, .lineWidth = 3},
    {.name = "超文本浏览框2", .kind = Kind::Browser, .parent = "外形框2", .x = -37, .y = -16, .w = 729, .h = 150,
     .text = "http://" MAKER_SITE "/KORVA/1.htm", .flags = rt::kTabStop},
    {.name = "简单超文本框1", .kind = Kind::HtmlText, .parent = "", .x = 20, .y = 473, .w = 616, .h = 20,
     .text = kNotice, .extra = kNoticeStyle},
    // Lies over the free end of the tab-header strip, so it comes after the tab control.
    {.name = "标签1", .kind = Kind::Label, .parent = "", .x = 337, .y = 5, .w = 312, .h = 16,
     .text = "提示:设置刷新时间3000=3秒,使用Alt+E隐藏/显示界面", .fg = kRed, .bg = rt::kFaceColour,
     .flags = rt::kCentre | rt::kVCentre},
    {.name = "超级链接框1", .kind = Kind::Hyperlink, .parent = "", .x = 208, .y = 528, .w = 40, .h = 24},
    {.name = "时钟1", .kind = Kind::Timer, .parent = "", .x = 8, .y = 528},
    {.name = "时钟2", .kind = Kind::Timer, .parent = "", .x = 48, .y = 528},
    {.name = "时钟3", .kind = Kind::Timer, .parent = "", .x = 88, .y = 528},
    {.name = "时钟4", .kind = Kind::Timer, .parent = "", .x = 128, .y = 528},
    {.name = "时钟5", .kind = Kind::Timer, .parent = "", .x = 168, .y = 528},
}};

// Window rows first (the tab control must exist before its pages), then the five pages.
constexpr auto BuildRows() {
  std::array<ControlRow, kOtherRows + 5 * kPageRows> rows{};
  size_t n = 0;
  rows[n++] = kWindowRows[0];
  for (int i = 0; i < 5; ++i)
    for (const ControlRow& row : PageRows(kPages[i], i == 0)) rows[n++] = row;
  for (size_t i = 1; i < kWindowRows.size(); ++i) rows[n++] = kWindowRows[i];
  return rows;
}

constexpr auto kRows = BuildRows();

constexpr rt::MenuRow kMenu[] = {
    {"菜单", "菜单", true},
    {kHideItem, "隐藏窗口", false},
    {kShowItem, "显示界面", false},
    {kExitItem, "退出程序", false},
    {kHomeItem, "官方网站", false},
    {"链接", "链接", true},
    {kDirectoryItem, "站长导航", false},
    {"By", "By:" MAKER_CONTACT, true},
    {kDomainItem, MAKER_SITE, false},
};

}  // namespace

const rt::Layout kLayout{
    .window = {.caption = "Pagetide V" OWN_VERSION_TEXT, .w = 645, .h = 540, .sizable = false,
               .minimizeBox = true, .maximizeBox = false, .bg = rt::kFaceColour, .iconId = 1},
    .menu = kMenu,
    .controls = kRows,
};

// clang-format on

}  // namespace refresher
