#include "tray/painter.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>

#include "tray/style.h"

namespace vistrel::tray {
namespace {

constexpr double kPi = 3.14159265358979323846;
// The specified family first, then the clean sans faces that setup installs.
constexpr char kFamily[] = "Segoe UI,Inter,Noto Sans,sans-serif";

struct FontDeleter {
  void operator()(PangoFontDescription* font) const { pango_font_description_free(font); }
};

std::unique_ptr<PangoFontDescription, FontDeleter> Font(double size, bool bold) {
  std::unique_ptr<PangoFontDescription, FontDeleter> font(pango_font_description_new());
  pango_font_description_set_family(font.get(), kFamily);
  pango_font_description_set_absolute_size(font.get(), size * PANGO_SCALE);
  pango_font_description_set_weight(font.get(), bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  return font;
}

}  // namespace

int Surface::HitTest(float x, float y) const {
  for (int i = static_cast<int>(regions.size()) - 1; i >= 0; --i) {
    if (regions[static_cast<size_t>(i)].rect.Contains(x, y)) return i;
  }
  return -1;
}

int Surface::NextFocus(bool backwards) const {
  const int count = static_cast<int>(regions.size());
  if (count == 0) return -1;
  int index = focus;
  for (int step = 0; step < count; ++step) {
    if (backwards) {
      index = index <= 0 ? count - 1 : index - 1;
    } else {
      index = index + 1 >= count ? 0 : index + 1;
    }
    if (regions[static_cast<size_t>(index)].action) return index;
  }
  return -1;
}

Painter::Painter(cairo_t* cr, float scale, Surface& surface)
    : cr_(cr), scale_(scale), surface_(surface), hover_(surface.hover), focus_(surface.focus) {
  surface_.regions.clear();
  surface_.nodes.clear();
  cairo_save(cr_);
  cairo_scale(cr_, scale_, scale_);
  cairo_set_antialias(cr_, CAIRO_ANTIALIAS_GOOD);
  surface_.text.Update(cr_);
}

Painter::~Painter() {
  cairo_restore(cr_);
}

void TextCache::Unref::operator()(void* object) const {
  g_object_unref(object);
}

void TextCache::Update(cairo_t* cr) {
  if (!context_) {
    context_.reset(pango_font_map_create_context(pango_cairo_font_map_get_default()));
  }
  // Pango marks its context changed on every update, even an identical one,
  // which would shape every text again; so update only on a real change.
  std::unique_ptr<cairo_font_options_t, void (*)(cairo_font_options_t*)> options(
      cairo_font_options_create(), cairo_font_options_destroy);
  cairo_surface_get_font_options(cairo_get_target(cr), options.get());
  std::unique_ptr<cairo_font_options_t, void (*)(cairo_font_options_t*)> set(
      cairo_font_options_create(), cairo_font_options_destroy);
  cairo_get_font_options(cr, set.get());
  cairo_font_options_merge(options.get(), set.get());
  cairo_matrix_t matrix;
  cairo_get_matrix(cr, &matrix);
  const std::array<double, 4> linear{matrix.xx, matrix.yx, matrix.xy, matrix.yy};
  if (options_ && cairo_font_options_equal(options_.get(), options.get()) && linear == matrix_) {
    return;
  }
  options_ = std::move(options);
  matrix_ = linear;
  pango_cairo_update_context(cr, context_.get());
}

PangoLayout* TextCache::Get(const std::string& key, const std::function<void(PangoLayout*)>& make) {
  if (auto found = layouts_.find(key); found != layouts_.end()) return found->second.get();
  // Changing texts (rates, times) would grow the cache without end.
  constexpr size_t kMaxLayouts = 512;
  if (layouts_.size() >= kMaxLayouts) layouts_.clear();
  std::unique_ptr<PangoLayout, Unref> layout(pango_layout_new(context_.get()));
  make(layout.get());
  return layouts_.emplace(key, std::move(layout)).first->second.get();
}

void Painter::SetColor(uint32_t argb) {
  SetSourceArgb(cr_, argb);
}

void Painter::RoundPath(Rect r, double radius) {
  radius = std::min({radius, r.width / 2.0, r.height / 2.0});
  cairo_new_sub_path(cr_);
  cairo_arc(cr_, r.x + r.width - radius, r.y + radius, radius, -kPi / 2, 0);
  cairo_arc(cr_, r.x + r.width - radius, r.y + r.height - radius, radius, 0, kPi / 2);
  cairo_arc(cr_, r.x + radius, r.y + r.height - radius, radius, kPi / 2, kPi);
  cairo_arc(cr_, r.x + radius, r.y + radius, radius, kPi, 3 * kPi / 2);
  cairo_close_path(cr_);
}

void Painter::Fill(Rect r, uint32_t argb) {
  SetColor(argb);
  cairo_rectangle(cr_, r.x, r.y, r.width, r.height);
  cairo_fill(cr_);
}

void Painter::RoundRect(Rect r, double radius, uint32_t argb) {
  SetColor(argb);
  RoundPath(r, radius);
  cairo_fill(cr_);
}

void Painter::StrokeRoundRect(Rect r, double radius, uint32_t argb, double width) {
  SetColor(argb);
  RoundPath(r, radius);
  cairo_set_line_width(cr_, width);
  cairo_stroke(cr_);
}

void Painter::Circle(double cx, double cy, double radius, uint32_t argb) {
  SetColor(argb);
  cairo_new_sub_path(cr_);
  cairo_arc(cr_, cx, cy, radius, 0, 2 * kPi);
  cairo_fill(cr_);
}

void Painter::Line(double x0, double y0, double x1, double y1, uint32_t argb, double width) {
  SetColor(argb);
  cairo_move_to(cr_, x0, y0);
  cairo_line_to(cr_, x1, y1);
  cairo_set_line_width(cr_, width);
  cairo_stroke(cr_);
}

PangoLayout* Painter::PrepareLayout(const std::string& text, double size, bool bold, double width,
                                    bool wrap, Align align, int max_lines) {
  char params[96];
  std::snprintf(params, sizeof params, "%g|%d|%g|%d|%d|%d|", size, bold ? 1 : 0, width,
                wrap ? 1 : 0, static_cast<int>(align), max_lines);
  return surface_.text.Get(params + text, [&](PangoLayout* layout) {
    auto font = Font(size, bold);
    pango_layout_set_font_description(layout, font.get());
    pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
    pango_layout_set_width(layout, width > 0 ? static_cast<int>(width * PANGO_SCALE) : -1);
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    const bool ellipsize = width > 0 && (!wrap || max_lines > 0);
    pango_layout_set_ellipsize(layout, ellipsize ? PANGO_ELLIPSIZE_END : PANGO_ELLIPSIZE_NONE);
    // A negative height counts lines.
    pango_layout_set_height(layout, wrap && max_lines > 0 ? -max_lines : -1);
    pango_layout_set_alignment(layout, align == Align::kCenter  ? PANGO_ALIGN_CENTER
                                       : align == Align::kRight ? PANGO_ALIGN_RIGHT
                                                                : PANGO_ALIGN_LEFT);
  });
}

double Painter::Text(double x, double y, double width, const std::string& text,
                     const TextStyle& style) {
  if (text_log_) text_log_->push_back(text);
  PangoLayout* layout = PrepareLayout(text, style.size, style.bold, width, false, style.align);
  int w = 0, h = 0;
  pango_layout_get_pixel_size(layout, &w, &h);
  SetColor(style.color);
  cairo_move_to(cr_, x, y);
  pango_cairo_show_layout(cr_, layout);
  const bool limited = width > 0;
  AfterText(text,
            {static_cast<float>(x), static_cast<float>(y), static_cast<float>(limited ? width : w),
             static_cast<float>(h)},
            layout, limited && drawn_log_ ? TextWidth(text, style.size, style.bold) : w);
  if (drawn_log_ && !limited) drawn_log_->back().box.width = 0;
  return w;
}

double Painter::WrappedText(double x, double y, double width, const std::string& text,
                            const TextStyle& style, int max_lines) {
  if (text_log_) text_log_->push_back(text);
  PangoLayout* layout =
      PrepareLayout(text, style.size, style.bold, width, true, style.align, max_lines);
  int w = 0, h = 0;
  pango_layout_get_pixel_size(layout, &w, &h);
  SetColor(style.color);
  cairo_move_to(cr_, x, y);
  pango_cairo_show_layout(cr_, layout);
  AfterText(text,
            {static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
             static_cast<float>(h)},
            layout, w);
  return h;
}

void Painter::AfterText(const std::string& text, Rect box, PangoLayout* layout, double natural) {
  last_cut_ = box.width > 0 && pango_layout_is_ellipsized(layout);
  if (drawn_log_) {
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    drawn_log_->push_back({text, box, natural, static_cast<double>(w), last_cut_});
  }
  if (quiet_ > 0) return;
  if (last_cut_) AddRegion(box, text, {});
  Describe(Role::kLabel, text, box);
}

int Painter::Describe(Role role, const std::string& name, Rect r, int region, bool checked,
                      bool enabled) {
  if (!surface_.accessible) return -1;
  surface_.nodes.push_back({role,
                            name,
                            {r.x * scale_, r.y * scale_, r.width * scale_, r.height * scale_},
                            groups_.empty() ? -1 : groups_.back(),
                            region,
                            checked,
                            enabled});
  return static_cast<int>(surface_.nodes.size()) - 1;
}

void Painter::BeginGroup(Role role, const std::string& name, Rect r) {
  const int index = Describe(role, name, r);
  if (index >= 0) groups_.push_back(index);
}

void Painter::EndGroup() {
  if (surface_.accessible && !groups_.empty()) groups_.pop_back();
}

double Painter::TextWidth(const std::string& text, double size, bool bold) {
  int w = 0, h = 0;
  pango_layout_get_pixel_size(PrepareLayout(text, size, bold, 0, false, Align::kLeft), &w, &h);
  return w;
}

double Painter::WrappedHeight(double width, const std::string& text, double size, int max_lines) {
  int w = 0, h = 0;
  pango_layout_get_pixel_size(
      PrepareLayout(text, size, false, width, true, Align::kLeft, max_lines), &w, &h);
  return h;
}

bool Painter::TextFits(double width, const std::string& text, double size, bool bold) {
  return TextWidth(text, size, bold) <= width;
}

int Painter::AddRegion(Rect r, std::string tooltip, std::function<void()> action) {
  surface_.regions.push_back({{r.x * scale_, r.y * scale_, r.width * scale_, r.height * scale_},
                              std::move(tooltip),
                              std::move(action)});
  return static_cast<int>(surface_.regions.size()) - 1;
}

bool Painter::NextHovered() const {
  return hover_ == static_cast<int>(surface_.regions.size());
}

void Painter::Button(Rect r, const std::string& label, ButtonStyle style,
                     std::function<void()> action) {
  const bool hovered = NextHovered() && action;
  const double radius = std::min(8.0, r.height / 2.0);
  uint32_t text = color::kText;
  switch (style) {
    case ButtonStyle::kPrimary:
      RoundRect(r, radius, hovered ? color::kAccentHover : color::kAccent);
      text = color::kWhite;
      break;
    case ButtonStyle::kSecondary:
      RoundRect(r, radius, hovered ? color::kRaisedHover : color::kRaised);
      break;
    case ButtonStyle::kWarning:
      if (hovered) RoundRect(r, radius, color::kRaised);
      StrokeRoundRect({r.x + 0.5f, r.y + 0.5f, r.width - 1, r.height - 1}, radius, color::kAmber,
                      1);
      text = color::kAmber;
      break;
  }
  if (!action) text = color::kDisabledGlyph;
  const double line = type::kRow * 1.3;
  Quiet(true);
  Text(r.x + 4, r.y + (r.height - line) / 2, r.width - 8, label,
       {type::kRow, true, text, Align::kCenter});
  Quiet(false);
  const bool enabled = static_cast<bool>(action);
  const int region = AddRegion(r, last_cut_ ? label : std::string(), std::move(action));
  Describe(Role::kPushButton, label, r, region, false, enabled);
}

void Painter::IconButton(double cx, double cy, Glyph glyph, const std::string& tooltip,
                         std::function<void()> action, double radius, int pressed) {
  const bool enabled = static_cast<bool>(action);
  const bool hovered = NextHovered() && enabled;
  if (enabled) {
    Circle(cx, cy, radius, hovered ? color::kRaisedHover : color::kRaised);
  } else {
    SetColor(color::kHairline);
    cairo_new_sub_path(cr_);
    cairo_arc(cr_, cx, cy, radius - 0.5, 0, 2 * kPi);
    cairo_set_line_width(cr_, 1);
    cairo_stroke(cr_);
  }
  GlyphAt(glyph, cx, cy, radius, enabled ? color::kText : color::kDisabledGlyph);
  const Rect r{static_cast<float>(cx - radius), static_cast<float>(cy - radius),
               static_cast<float>(2 * radius), static_cast<float>(2 * radius)};
  const int region = AddRegion(r, tooltip, std::move(action));
  Describe(pressed >= 0 ? Role::kToggleButton : Role::kPushButton, tooltip, r, region, pressed == 1,
           enabled);
}

void Painter::Toggle(double x, double y, bool on, const std::string& name,
                     std::function<void()> action) {
  const Rect r{static_cast<float>(x), static_cast<float>(y), 40, 22};
  RoundRect(r, 11, on ? color::kAccent : color::kRaisedHover);
  Circle(on ? x + 29 : x + 11, y + 11, 8, color::kWhite);
  const bool enabled = static_cast<bool>(action);
  const int region = AddRegion(r, {}, std::move(action));
  Describe(Role::kCheckBox, name, r, region, on, enabled);
}

void Painter::Segmented(Rect r, const std::vector<std::string>& options, int selected,
                        const std::string& name, const std::function<void(int)>& callback) {
  RoundRect(r, 8, color::kRaised);
  if (options.empty()) return;
  BeginGroup(Role::kGroup, name, r);
  Quiet(true);
  const float segment = r.width / static_cast<float>(options.size());
  for (size_t i = 0; i < options.size(); ++i) {
    const Rect cell{r.x + segment * static_cast<float>(i), r.y, segment, r.height};
    const bool chosen = static_cast<int>(i) == selected;
    if (chosen) {
      RoundRect({cell.x + 2, cell.y + 2, cell.width - 4, cell.height - 4}, 6, color::kAccent);
    } else if (NextHovered()) {
      RoundRect({cell.x + 2, cell.y + 2, cell.width - 4, cell.height - 4}, 6, color::kRaisedHover);
    }
    const double line = type::kBody * 1.3;
    Text(cell.x + 2, cell.y + (cell.height - line) / 2, cell.width - 4, options[i],
         {type::kBody, false, chosen ? color::kWhite : color::kText, Align::kCenter});
    const int index = static_cast<int>(i);
    const int region =
        AddRegion(cell, last_cut_ ? options[i] : std::string(),
                  callback ? std::function<void()>([callback, index] { callback(index); })
                           : std::function<void()>());
    Describe(Role::kRadioButton, options[i], cell, region, chosen, static_cast<bool>(callback));
  }
  Quiet(false);
  EndGroup();
}

double Painter::MessageBlock(Rect r, Glyph glyph, uint32_t argb, const std::string& title,
                             const std::string& body) {
  const double inner = std::min<double>(r.width - 48, 400);
  const double title_height = type::kMessageTitle * 1.35;
  const double body_height = WrappedHeight(inner, body, type::kBody);
  const double total = 56 + 14 + title_height + 6 + body_height;
  double y = r.y + std::max(0.0, (r.height - total) / 2);
  const double cx = r.x + r.width / 2.0;
  Circle(cx, y + 28, 28, color::kRaised);
  GlyphAt(glyph, cx, y + 28, 26, argb);
  y += 56 + 14;
  Text(cx - inner / 2, y, inner, title, {type::kMessageTitle, true, color::kText, Align::kCenter});
  y += title_height + 6;
  y += WrappedText(cx - inner / 2, y, inner, body,
                   {type::kBody, false, color::kSecondary, Align::kCenter});
  return y;
}

double Painter::Pill(double x, double y, const std::string& text, uint32_t text_argb,
                     bool right_aligned) {
  const double width = TextWidth(text, type::kSmall, false) + 20;
  const double left = right_aligned ? x - width : x;
  RoundRect({static_cast<float>(left), static_cast<float>(y), static_cast<float>(width), 22}, 11,
            color::kRaised);
  Text(left + 10, y + (22 - type::kSmall * 1.3) / 2, 0, text,
       {type::kSmall, false, text_argb, Align::kLeft});
  return width;
}

void Painter::StateDot(double cx, double cy, uint32_t argb, double radius) {
  Circle(cx, cy, radius, argb);
}

void Painter::GlyphAt(Glyph glyph, double cx, double cy, double size, uint32_t argb) {
  DrawGlyph(cr_, glyph, cx, cy, size, argb);
}

void Painter::Image(cairo_surface_t* image, Rect r, double radius) {
  const int w = cairo_image_surface_get_width(image);
  const int h = cairo_image_surface_get_height(image);
  if (w <= 0 || h <= 0) return;
  cairo_save(cr_);
  RoundPath(r, radius);
  cairo_clip(cr_);
  cairo_translate(cr_, r.x, r.y);
  cairo_scale(cr_, r.width / w, r.height / h);
  cairo_set_source_surface(cr_, image, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr_), CAIRO_FILTER_BILINEAR);
  cairo_paint(cr_);
  cairo_restore(cr_);
}

void Painter::Overlay(double width, double height) {
  const auto& regions = surface_.regions;
  const int count = static_cast<int>(regions.size());
  if (focus_ >= 0 && (focus_ >= count || !regions[static_cast<size_t>(focus_)].action)) {
    // The controls drawn now may differ from those the focus was given among:
    // it goes on to the next active one instead of resting where Enter does nothing.
    surface_.focus = focus_ - 1;
    focus_ = surface_.NextFocus(false);
    surface_.focus = focus_;
  }
  if (focus_ >= 0 && focus_ < count) {
    const Rect& r = regions[static_cast<size_t>(focus_)].rect;
    const Rect ring{r.x / scale_ - 3, r.y / scale_ - 3, r.width / scale_ + 6,
                    r.height / scale_ + 6};
    SetColor(color::kAccentHover);
    RoundPath(ring, std::min(14.0, ring.height / 2.0));
    cairo_set_line_width(cr_, 2);
    cairo_stroke(cr_);
  }
  if (hover_ < 0 || hover_ >= static_cast<int>(regions.size())) return;
  const HitRegion& region = regions[static_cast<size_t>(hover_)];
  if (region.tooltip.empty()) return;
  const Rect r{region.rect.x / scale_, region.rect.y / scale_, region.rect.width / scale_,
               region.rect.height / scale_};
  const double box_width = TextWidth(region.tooltip, type::kSmall, false) + 20;
  double x = r.x + r.width / 2 - box_width / 2;
  x = std::clamp(x, 8.0, std::max(8.0, width - 8 - box_width));
  double y = r.y - 8 - 28;
  if (y < 4) y = r.y + r.height + 8;
  y = std::min(y, height - 28);
  const Rect box{static_cast<float>(x), static_cast<float>(y), static_cast<float>(box_width), 28};
  RoundRect(box, 6, color::kTooltip);
  StrokeRoundRect({box.x + 0.5f, box.y + 0.5f, box.width - 1, box.height - 1}, 6,
                  color::kTooltipBorder, 1);
  Quiet(true);
  Text(x + 10, y + (28 - type::kSmall * 1.3) / 2, 0, region.tooltip,
       {type::kSmall, false, color::kText, Align::kLeft});
  Quiet(false);
}

}  // namespace vistrel::tray
