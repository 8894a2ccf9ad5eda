// Immediate-mode drawing of the tray's windows on Cairo with Pango text.
// Every paint draws the whole window from the state it is given and appends
// one hit region per clickable control to the surface; hover and focus are
// indexes into the regions of the previous paint, which the same state
// rebuilds in the same order.
#pragma once

#include <cairo.h>
#include <pango/pango.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "tray/glyphs.h"

namespace vistrel::tray {

struct Rect {
  float x = 0, y = 0, width = 0, height = 0;
  bool Contains(float px, float py) const {
    return px >= x && py >= y && px < x + width && py < y + height;
  }
};

struct HitRegion {
  Rect rect;  // window pixels
  std::string tooltip;
  std::function<void()> action;  // empty: inert
};

// What a screen reader is told of one painted thing: its role, name, state
// and place. Controls point at their hit region, whose action is theirs.
enum class Role {
  kLabel,
  kPushButton,
  kToggleButton,
  kRadioButton,
  kCheckBox,
  kPageTab,
  kPageTabList,
  kImage,
  kList,
  kListItem,
  kGroup,
  kAlert
};
struct AccessibleNode {
  Role role = Role::kLabel;
  std::string name;
  Rect rect;        // window pixels
  int parent = -1;  // index of the enclosing node, -1 for the window
  int region = -1;  // its hit region, -1 for none
  bool checked = false;
  bool enabled = true;
};

// One text as drawn: for the checks that every text fits its box.
struct DrawnText {
  std::string text;
  Rect box;          // DIPs; width 0 for no limit
  double width = 0;  // the whole text's, unshortened
  double drawn = 0;  // as drawn
  bool cut = false;  // shortened with an ellipsis
};

// Text shaped in earlier paints, kept for the next ones: shaping every label
// again on every paint cost more than drawing the window.
class TextCache {
 public:
  TextCache() = default;
  TextCache(const TextCache&) = delete;
  TextCache& operator=(const TextCache&) = delete;

  // Follows the target of a paint (its resolution and font options); shapes
  // again only when they change.
  void Update(cairo_t* cr);
  // The layout for `key`, made by `make` on a miss.
  PangoLayout* Get(const std::string& key, const std::function<void(PangoLayout*)>& make);

 private:
  struct Unref {
    void operator()(void* object) const;
  };
  std::unique_ptr<PangoContext, Unref> context_;
  // What the context was last updated for: font options and linear matrix.
  std::unique_ptr<cairo_font_options_t, void (*)(cairo_font_options_t*)> options_{
      nullptr, cairo_font_options_destroy};
  std::array<double, 4> matrix_{};
  std::unordered_map<std::string, std::unique_ptr<PangoLayout, Unref>> layouts_;
};

// One window's regions and its pointer and keyboard state.
struct Surface {
  std::vector<HitRegion> regions;
  TextCache text;
  int hover = -1;
  int focus = -1;
  // Nodes are recorded only while this is set: while an assistive
  // technology listens.
  bool accessible = false;
  std::vector<AccessibleNode> nodes;
  std::string name;  // the window's content as a whole: the page's name

  // The last region containing the point, -1 for none.
  int HitTest(float x, float y) const;
  // The next (or previous) region with an action after the focus, wrapping; -1 for none.
  int NextFocus(bool backwards) const;
};

enum class ButtonStyle { kPrimary = 0, kSecondary = 1, kWarning = 2 };
enum class Align { kLeft, kCenter, kRight };

struct TextStyle {
  double size = 13;
  bool bold = false;
  uint32_t color = 0xFFECEEF1;
  Align align = Align::kLeft;
};

// Coordinates given to the painter are DIPs; regions are stored in window
// pixels (DIPs × scale). Not thread-safe: one paint at a time on the UI thread.
class Painter {
 public:
  Painter(cairo_t* cr, float scale, Surface& surface);
  ~Painter();
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

  // Every text drawn is appended to `log` (for tests and screenshots' checks).
  void set_text_log(std::vector<std::string>* log) { text_log_ = log; }
  void set_drawn_log(std::vector<DrawnText>* log) { drawn_log_ = log; }

  float scale() const { return scale_; }
  cairo_t* context() const { return cr_; }
  Surface& surface() { return surface_; }

  void Fill(Rect r, uint32_t argb);
  void RoundRect(Rect r, double radius, uint32_t argb);
  void StrokeRoundRect(Rect r, double radius, uint32_t argb, double width);
  void Circle(double cx, double cy, double radius, uint32_t argb);
  void Line(double x0, double y0, double x1, double y1, uint32_t argb, double width);

  // One line trimmed with an ellipsis to `width` (no limit when 0), its top
  // at y; returns the width drawn. A shortened text outside a control gets
  // an inert region with the whole text as its tooltip.
  double Text(double x, double y, double width, const std::string& text, const TextStyle& style);
  // Wrapped text, ellipsized after `max_lines` lines when that is not 0;
  // returns the height drawn.
  double WrappedText(double x, double y, double width, const std::string& text,
                     const TextStyle& style, int max_lines = 0);
  double TextWidth(const std::string& text, double size, bool bold);
  double WrappedHeight(double width, const std::string& text, double size, int max_lines = 0);
  bool TextFits(double width, const std::string& text, double size, bool bold);

  // Whether the last text drawn was shortened.
  bool last_cut() const { return last_cut_; }

  // The accessible tree, recorded only while the surface asks for it.
  bool accessible() const { return surface_.accessible; }
  void SetName(const std::string& name) {
    if (surface_.accessible) surface_.name = name;
  }
  // A node at the rectangle (DIPs) inside the open group; returns its index, -1 when not recording.
  int Describe(Role role, const std::string& name, Rect r, int region = -1, bool checked = false,
               bool enabled = true);
  // Nodes described until EndGroup go inside this one.
  void BeginGroup(Role role, const std::string& name, Rect r);
  void EndGroup();
  // Texts drawn while quiet are parts of a control, not labels of their own.
  void Quiet(bool quiet) { quiet_ += quiet ? 1 : -1; }

  // Appends a region at the rectangle (DIPs); returns its index.
  int AddRegion(Rect r, std::string tooltip, std::function<void()> action);
  // Whether the next region to be added is hovered.
  bool NextHovered() const;

  void Button(Rect r, const std::string& label, ButtonStyle style, std::function<void()> action);
  // Round, radius 18 unless told; the disabled look when `action` is empty.
  // A toggle to a screen reader when `pressed` is 0 or 1.
  void IconButton(double cx, double cy, Glyph glyph, const std::string& tooltip,
                  std::function<void()> action, double radius = 18, int pressed = -1);
  // 40 × 22 pill at (x, y); `name` is what it switches.
  void Toggle(double x, double y, bool on, const std::string& name, std::function<void()> action);
  // Choices named by `name` (a group of radio buttons to a screen reader).
  void Segmented(Rect r, const std::vector<std::string>& options, int selected,
                 const std::string& name, const std::function<void(int)>& callback);
  // Glyph in a round 56-wide background, bold title, wrapped body, centred
  // in the rectangle; returns the y below the body.
  double MessageBlock(Rect r, Glyph glyph, uint32_t argb, const std::string& title,
                      const std::string& body);
  // Small rounded label; returns its width. Anchored at its right edge when `right_aligned`.
  double Pill(double x, double y, const std::string& text, uint32_t text_argb,
              bool right_aligned = false);
  void StateDot(double cx, double cy, uint32_t argb, double radius = 4.5);
  void GlyphAt(Glyph glyph, double cx, double cy, double size, uint32_t argb);
  // The image scaled (bilinear) to fill the rectangle, clipped to rounded corners.
  void Image(cairo_surface_t* image, Rect r, double radius);

  // The focus ring and the hovered region's tooltip, over everything, for a
  // window of width × height DIPs.
  void Overlay(double width, double height);

 private:
  void SetColor(uint32_t argb);
  void RoundPath(Rect r, double radius);
  // The shaped layout for these parameters, from the surface's cache.
  PangoLayout* PrepareLayout(const std::string& text, double size, bool bold, double width,
                             bool wrap, Align align, int max_lines = 0);

  cairo_t* cr_;
  float scale_;
  Surface& surface_;
  int hover_;
  int focus_;
  // Records the text as drawn; adds the tooltip region of a shortened one.
  void AfterText(const std::string& text, Rect box, PangoLayout* layout, double natural);

  std::vector<std::string>* text_log_ = nullptr;  // one, reused for every text of the paint
  std::vector<DrawnText>* drawn_log_ = nullptr;
  bool last_cut_ = false;
  int quiet_ = 0;
  std::vector<int> groups_;
};

}  // namespace vistrel::tray
