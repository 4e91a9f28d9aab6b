// Layout tables: a program's window, its menu bar and every control as data. The window is built
// from these rows, copies of a control are made from its row, and the tests read the same rows.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

namespace rt {

enum class Kind : uint8_t {
  Tab,               // tab control; its pages are rows of kind TabPage naming it as parent
  TabPage,           // one page of a tab control; text = tab caption
  Frame,             // shape frame: outline drawn in lineColour, lineWidth wide; a container
  Line,              // shape: one horizontal line in lineColour
  Edit,              // edit box
  Button,            // push button
  Label,             // label with its own background
  TransparentLabel,  // label drawn over its parent's background
  Hyperlink,         // hyperlink box: opens its address in the shell
  Timer,             // no window; period 0 at load
  Browser,           // embedded web browser; text = address at load
  HtmlText,          // one line of HTML; text = the fragment, extra = the style sheet
  Picture,           // picture box: a plain container
  Bar,               // bar control (trackbar look, 0..100)
  StatusBar,         // status bar docked at the bottom
  Zip,               // ZIP component, no window
};

// Colours are 0x00BBGGRR like COLORREF; these sentinels stand for system colours.
constexpr uint32_t kDefaultColour = 0xFF000000;
constexpr uint32_t kFaceColour = 0xFE000000;  // COLOR_BTNFACE
constexpr uint32_t Rgb(uint8_t r, uint8_t g, uint8_t b) { return r | (g << 8) | (uint32_t(b) << 16); }

struct Font {
  std::string_view face;  // GBK
  int height;             // logical units, negative = character height
  int weight;
  int charset;
};

enum Flags : uint32_t {
  kHidden = 1u << 0,
  kTabStop = 1u << 1,
  kCentre = 1u << 2,       // text centred horizontally
  kVCentre = 1u << 3,      // text centred vertically
  kThinBorder = 1u << 4,   // plain one-pixel border
  kStaticEdge = 1u << 5,   // thin sunken border
  kMultiline = 1u << 6,    // edit: multi-line, wraps, vertical scroll bar, Enter makes a line
  kVertical = 1u << 7,     // bar control: vertical
  kGradient = 1u << 8,     // label: gradient background from `bg` through white to white
  kCurrentPage = 1u << 9,  // tab page shown at load
  kProgress = 1u << 10,    // bar control: progress-bar look
};

struct ControlRow {
  std::string_view name;
  Kind kind;
  std::string_view parent;  // "" = the window
  int x = 0, y = 0, w = 0, h = 0;
  std::string_view text = {};
  uint32_t fg = kDefaultColour;
  uint32_t bg = kDefaultColour;
  const Font* font = nullptr;
  uint32_t flags = 0;
  uint32_t lineColour = 0;
  int lineWidth = 0;
  std::string_view extra = {};
};

struct MenuRow {
  std::string_view name;  // how handlers and bindings address the item
  std::string_view text;
  bool topLevel;  // false: an item of the last top-level menu before it
};

struct WindowRow {
  std::string_view caption;
  int w, h;
  bool sizable;
  bool minimizeBox;
  bool maximizeBox;
  uint32_t bg;
  int iconId;
};

struct Layout {
  WindowRow window;
  std::span<const MenuRow> menu;
  std::span<const ControlRow> controls;

  const ControlRow* Find(std::string_view name) const {
    for (const ControlRow& row : controls)
      if (row.name == name) return &row;
    return nullptr;
  }
};

}  // namespace rt
