#include "updater/layout.h"

#include "site_config.h"

namespace updater {
namespace {

using rt::ControlRow;
using rt::Kind;
using rt::Rgb;

constexpr uint32_t kPanel = Rgb(236, 236, 236);
constexpr uint32_t kHeader = Rgb(165, 174, 241);
constexpr uint32_t kBlack = Rgb(0, 0, 0);
constexpr uint32_t kHeaderFlags = rt::kThinBorder | rt::kGradient | rt::kVCentre;
constexpr uint32_t kTemplateFlags = rt::kHidden | rt::kVCentre;

// The rows are a table: kept aligned by hand.
// clang-format off
constexpr ControlRow kRows[] = {
    {.name = "图片框1", .kind = Kind::Picture, .parent = "", .x = 6, .y = 8, .w = 520, .h = 160,
     .bg = rt::kFaceColour, .flags = rt::kStaticEdge},
    {.name = "图片框2", .kind = Kind::Picture, .parent = "图片框1", .x = 1, .y = 1, .w = 518, .h = 158, .bg = kPanel,
     .flags = rt::kThinBorder},
    // Column headers; their top borders lie one pixel above the container's client area.
    {.name = "标签1", .kind = Kind::Label, .parent = "图片框2", .x = -1, .y = -1, .w = 124, .h = 19,
     .text = "任务名称", .fg = kBlack, .bg = kHeader, .flags = kHeaderFlags},
    {.name = "标签2", .kind = Kind::Label, .parent = "图片框2", .x = 124, .y = -1, .w = 59, .h = 19,
     .text = "任务大小", .fg = kBlack, .bg = kHeader, .flags = kHeaderFlags},
    {.name = "标签3", .kind = Kind::Label, .parent = "图片框2", .x = 184, .y = -1, .w = 124, .h = 19,
     .text = "下载进度", .fg = kBlack, .bg = kHeader, .flags = kHeaderFlags},
    {.name = "标签4", .kind = Kind::Label, .parent = "图片框2", .x = 309, .y = -1, .w = 64, .h = 19,
     .text = "下载速度", .fg = kBlack, .bg = kHeader, .flags = kHeaderFlags},
    {.name = "标签5", .kind = Kind::Label, .parent = "图片框2", .x = 374, .y = -1, .w = 142, .h = 19,
     .text = "相关操作", .fg = kBlack, .bg = kHeader, .flags = kHeaderFlags},
    // Templates of a task row: copied, never shown themselves.
    {.name = "标签6", .kind = Kind::Label, .parent = "图片框2", .x = 2, .y = 21, .w = 124, .h = 19, .fg = kBlack,
     .bg = kPanel, .flags = kTemplateFlags},
    {.name = "标签7", .kind = Kind::Label, .parent = "图片框2", .x = 124, .y = 21, .w = 59, .h = 19, .fg = kBlack,
     .bg = kPanel, .flags = kTemplateFlags},
    {.name = "标签9", .kind = Kind::Label, .parent = "图片框2", .x = 184, .y = 21, .w = 124, .h = 19, .fg = kBlack,
     .bg = kPanel, .flags = kTemplateFlags},
    {.name = "标签8", .kind = Kind::Label, .parent = "图片框2", .x = 309, .y = 21, .w = 64, .h = 19, .fg = kBlack,
     .bg = kPanel, .flags = kTemplateFlags},
    {.name = "多功能条1", .kind = Kind::Bar, .parent = "图片框2", .x = 184, .y = 22, .w = 124, .h = 19,
     .flags = rt::kHidden | rt::kProgress},
    {.name = "外形框1", .kind = Kind::Line, .parent = "图片框2", .x = 1, .y = 40, .w = 513, .h = 1, .bg = kHeader,
     .flags = rt::kHidden, .lineColour = kHeader, .lineWidth = 1},
    // Its feedback event carries the hand-over to the installation onto the window's thread.
    {.name = "标签10", .kind = Kind::Label, .parent = "图片框2", .x = 399, .y = 133, .w = 48, .h = 16,
     .flags = rt::kHidden},
    {.name = "多功能条2", .kind = Kind::Bar, .parent = "", .x = 525, .y = 8, .w = 16, .h = 160,
     .flags = rt::kVertical},
    {.name = "编辑框1", .kind = Kind::Edit, .parent = "", .x = 7, .y = 171, .w = 532, .h = 93, .fg = kBlack,
     .bg = Rgb(255, 255, 255), .flags = rt::kMultiline | rt::kStaticEdge | rt::kTabStop},
    {.name = "状态条1", .kind = Kind::StatusBar, .parent = ""},
    {.name = "ZIP压缩1", .kind = Kind::Zip, .parent = ""},
};

}  // namespace

const rt::Layout kLayout{
    .window = {.caption = "Fetchwell | 页潮网络 " MAKER_SITE, .w = 550, .h = 221, .sizable = true, .minimizeBox = true,
               .maximizeBox = false, .bg = kPanel, .iconId = 1},
    .menu = {},
    .controls = kRows,
};

// clang-format on

}  // namespace updater
