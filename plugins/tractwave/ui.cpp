// The instrument's window, drawn with Cairo through DPF: the oral and nasal
// tube as the notes shape it now, a slider for every control, the presets,
// and the lyric lyrics mode sings, its current syllable lit, with a few
// lyrics to choose from (DGL has no text entry; hosts set any text through
// the plugin's state). The picture comes from the audio thread's TractView (see
// tract_view.h); the controls go to the host as parameter edits, so that it
// records and automates them like its own.
#include "DistrhoUI.hpp"

#include "host_facts.h"
#include "instrument.h"
#include "tract_view.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

START_NAMESPACE_DISTRHO

namespace {

using tractwave_facts::kNumPresets;
using tractwave_facts::kPresets;
using tractwave_lv2::control_label;
using tractwave_lv2::ControlLabel;
using tractwave_lv2::kControlRanges;
using tractwave_lv2::kFirstTractParameter;
using tractwave_lv2::kNumControls;
using tractwave_lv2::kTractControls;
using tractwave_lv2::TractPicture;

constexpr int kOral = TRACTWAVE_ORAL_SECTIONS;
constexpr int kNasal = TRACTWAVE_NASAL_SECTIONS;

// The tract at the playground's size and scale, so that the two pictures of
// one shape look alike; the controls below it.
constexpr double kWidth = 720.0, kTractHeight = 280.0, kHeight = 644.0;
constexpr double kLyricTop = 562.0, kChoiceTop = 606.0, kChoiceWidth = 172.0;
// The lyrics the window offers.
constexpr const char *kLyricChoices[] = {"la", "do re mi fa so la ti do",
                                         "twinkle twinkle little star",
                                         "we saw two cool birds"};
constexpr int kNumChoices = 4;
constexpr double kRowHeight = 30.0, kSliderTop = kTractHeight + 14.0;
constexpr double kColumnWidth = 250.0, kSliderLeft = 10.0;
constexpr double kLabelWidth = 96.0, kBarWidth = 100.0;
constexpr int kRowsPerColumn = 8;
constexpr double kPresetLeft = 550.0, kPresetWidth = 160.0;
constexpr double kPresetHeight = 28.0;

struct Colour {
  double r, g, b;
};
// The playground's colours: flesh and rust for the mouth, blue for the nose.
constexpr Colour kOralFill = {0xf3 / 255.0, 0xc7 / 255.0, 0xa8 / 255.0};
constexpr Colour kOralLine = {0x9a / 255.0, 0x34 / 255.0, 0x12 / 255.0};
constexpr Colour kNasalFill = {0xcf / 255.0, 0xe0 / 255.0, 0xf5 / 255.0};
constexpr Colour kNasalLine = {0x1e / 255.0, 0x3a / 255.0, 0x8a / 255.0};
constexpr Colour kVelumOpen = {0x7c / 255.0, 0x3a / 255.0, 0xed / 255.0};
constexpr Colour kVelumShut = {0xd4 / 255.0, 0xd4 / 255.0, 0xd8 / 255.0};
constexpr Colour kText = {0x37 / 255.0, 0x41 / 255.0, 0x51 / 255.0};
constexpr Colour kFaint = {0x9c / 255.0, 0xa3 / 255.0, 0xaf / 255.0};
constexpr Colour kPanel = {0xf4 / 255.0, 0xf4 / 255.0, 0xf5 / 255.0};
constexpr Colour kBar = {0x0f / 255.0, 0x76 / 255.0, 0x6e / 255.0};

void colour(cairo_t *cr, const Colour &c) {
  cairo_set_source_rgb(cr, c.r, c.g, c.b);
}

// Position along a slider (0 ... 1) of a control's value, and back.
double to_position(int c, float value) {
  const auto &r = kControlRanges[c];
  if (control_label(c).logarithmic)
    return log(value / r.min) / log(r.max / r.min);
  return (value - r.min) / (r.max - r.min);
}
float from_position(int c, double x) {
  const auto &r = kControlRanges[c];
  x = x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x);
  float v = control_label(c).logarithmic
                ? static_cast<float>(r.min * pow(r.max / r.min, x))
                : static_cast<float>(r.min + (r.max - r.min) * x);
  if (control_label(c).integer)
    v = roundf(v);
  return v;
}

struct Box {
  double x, y, w, h;
  bool contains(double px, double py) const {
    return px >= x && px < x + w && py >= y && py < y + h;
  }
};

Box slider_bar(int c) {
  const int column = c / kRowsPerColumn, row = c % kRowsPerColumn;
  return {kSliderLeft + column * kColumnWidth + kLabelWidth,
          kSliderTop + row * kRowHeight + 8.0, kBarWidth, 14.0};
}

Box lyric_button(int k) {
  return {kSliderLeft + k * (kChoiceWidth + 4.0), kChoiceTop, kChoiceWidth,
          28.0};
}

Box preset_button(int p) {
  return {kPresetLeft, kSliderTop + p * (kPresetHeight + 3.0), kPresetWidth,
          kPresetHeight};
}

class TractwaveUI : public UI {
public:
  TractwaveUI()
      : UI(static_cast<uint>(kWidth), static_cast<uint>(kHeight), true),
        view_(tractwave_lv2::tract_view_of(getPluginInstancePointer())) {
    for (int c = 0; c < kNumControls; ++c)
      values_[c] = kControlRanges[c].fallback;
    // Until the audio runs, the picture is the shape the controls describe.
    shape_from_controls();
    char text[tractwave_lv2::Lyric::kMaxText + 1];
    if (tractwave_lv2::lyric_text_of(getPluginInstancePointer(), text,
                                     sizeof text))
      stateChanged("lyrics", text);
  }

protected:
  void parameterChanged(uint32_t index, float value) override {
    if (index >= static_cast<uint32_t>(kNumControls))
      return;
    values_[index] = value;
    forget_preset_unless(static_cast<int>(index));
    if (!live_)
      shape_from_controls();
    repaint();
  }

  void stateChanged(const char *key, const char *value) override {
    if (strcmp(key, "lyrics") != 0)
      return;
    lyric_ = value;
    syllables_.clear();
    const int n = tractwave_lv2::lyric_syllable_count(value);
    char text[64];
    for (int k = 0; k < n; ++k)
      if (tractwave_lv2::lyric_syllable_text(value, k, text, sizeof text))
        syllables_.push_back(text);
    repaint();
  }

  void programLoaded(uint32_t index) override {
    if (index >= static_cast<uint32_t>(kNumPresets))
      return;
    preset_ = static_cast<int>(index);
    for (int c = 0; c < kTractControls; ++c)
      values_[c] = kPresets[index].values[kFirstTractParameter + c];
    values_[tractwave_lv2::kGain] = kPresets[index].gain;
    stateChanged("lyrics", kPresets[index].lyric);
  }

  // Called some tens of times a second by every host: the picture follows
  // the audio thread's while it runs.
  void uiIdle() override {
    TractPicture p;
    if (view_ == nullptr || !view_->read(p) || p.blocks == picture_.blocks)
      return;
    picture_ = p;
    live_ = true;
    repaint();
  }

  void onCairoDisplay(const CairoGraphicsContext &context) override {
    cairo_t *cr = context.handle;
    const double scale = getWidth() / kWidth;
    cairo_save(cr);
    cairo_scale(cr, scale, scale);
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 12.0);
    draw_tract(cr);
    draw_controls(cr);
    draw_presets(cr);
    draw_lyric(cr);
    cairo_restore(cr);
  }

  bool onMouse(const MouseEvent &event) override {
    const double scale = getWidth() / kWidth;
    const double x = event.pos.getX() / scale, y = event.pos.getY() / scale;
    if (event.button != 1)
      return false;
    if (!event.press) {
      if (dragging_ < 0)
        return false;
      editParameter(static_cast<uint32_t>(dragging_), false);
      dragging_ = -1;
      return true;
    }
    for (int c = 0; c < kNumControls; ++c) {
      Box b = slider_bar(c);
      b.y -= 6.0;
      b.h += 12.0;
      if (!b.contains(x, y))
        continue;
      dragging_ = c;
      editParameter(static_cast<uint32_t>(c), true);
      drag_to(x);
      return true;
    }
    for (int p = 0; p < kNumPresets; ++p)
      if (preset_button(p).contains(x, y)) {
        choose_preset(p);
        return true;
      }
    for (int k = 0; k < kNumChoices; ++k)
      if (lyric_button(k).contains(x, y)) {
        setState("lyrics", kLyricChoices[k]);
        stateChanged("lyrics", kLyricChoices[k]);
        return true;
      }
    return false;
  }

  bool onMotion(const MotionEvent &event) override {
    if (dragging_ < 0)
      return false;
    drag_to(event.pos.getX() / (getWidth() / kWidth));
    return true;
  }

private:
  void drag_to(double x) {
    const Box b = slider_bar(dragging_);
    const float v = from_position(dragging_, (x - b.x) / b.w);
    if (v == values_[dragging_])
      return;
    values_[dragging_] = v;
    forget_preset_unless(dragging_);
    setParameterValue(static_cast<uint32_t>(dragging_), v);
    if (!live_)
      shape_from_controls();
    repaint();
  }

  // A preset sets what the plugin's own presets set: the tract, the gain
  // and the lyric.
  void choose_preset(int p) {
    preset_ = p;
    setState("lyrics", kPresets[p].lyric);
    stateChanged("lyrics", kPresets[p].lyric);
    for (int c = 0; c < kNumControls; ++c) {
      if (!preset_sets(c))
        continue;
      const float v = preset_value(p, c);
      values_[c] = v;
      editParameter(static_cast<uint32_t>(c), true);
      setParameterValue(static_cast<uint32_t>(c), v);
      editParameter(static_cast<uint32_t>(c), false);
    }
    if (!live_)
      shape_from_controls();
    repaint();
  }

  // The list lights the chosen preset only while the controls it sets still
  // hold its values; the others (polyphony, envelope, glide, bend range) do
  // not count.
  void forget_preset_unless(int c) {
    if (preset_ >= 0 && preset_sets(c) &&
        values_[c] != preset_value(preset_, c))
      preset_ = -1;
  }

  static bool preset_sets(int c) {
    return c < kTractControls || c == tractwave_lv2::kGain;
  }

  static float preset_value(int p, int c) {
    return c < kTractControls ? kPresets[p].values[kFirstTractParameter + c]
                              : kPresets[p].gain;
  }

  void shape_from_controls() {
    float parameters[1 + kTractControls] = {0.0f};
    for (int c = 0; c < kTractControls; ++c)
      parameters[1 + c] = values_[c];
    tractwave_lv2::tract_shape(parameters, picture_.oral, picture_.nasal,
                               &picture_.velum);
  }

  // Each section a band of its diameter around the tube's axis, as the
  // playground draws it.
  static void tube(cairo_t *cr, const float *d, int n, double x0, double step,
                   double axis, double scale, const Colour &fill,
                   const Colour &line) {
    cairo_new_path(cr);
    for (int k = 0; k < n; ++k) {
      const double y = axis - d[k] * scale / 2.0;
      if (k == 0)
        cairo_move_to(cr, x0, y);
      else
        cairo_line_to(cr, x0 + k * step, y);
      cairo_line_to(cr, x0 + (k + 1) * step, y);
    }
    for (int k = n - 1; k >= 0; --k) {
      const double y = axis + d[k] * scale / 2.0;
      cairo_line_to(cr, x0 + (k + 1) * step, y);
      cairo_line_to(cr, x0 + k * step, y);
    }
    cairo_close_path(cr);
    colour(cr, fill);
    cairo_fill_preserve(cr);
    colour(cr, line);
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
  }

  void draw_tract(cairo_t *cr) {
    const TractPicture &g = picture_;
    const double left = 56.0, step = (kWidth - left - 30.0) / 26.0;
    const double scale = 26.0; // pixels per diameter unit
    const double oral_axis = kTractHeight - 92.0, nasal_axis = 58.0;
    const double junction = left + 10.0 * step; // between sections 9 and 10
    tube(cr, g.oral, kOral, left, step, oral_axis, scale, kOralFill, kOralLine);
    tube(cr, g.nasal, kNasal, junction, step, nasal_axis, scale, kNasalFill,
         kNasalLine);

    // The velum's port between the tubes, as wide as it is open.
    const double port_top = nasal_axis + g.nasal[0] * scale / 2.0;
    const double port_bottom =
        oral_axis - fmax(g.oral[9], g.oral[10]) * scale / 2.0;
    const double port_width = fmax(1.0, g.velum / 0.55 * step * 1.6);
    colour(cr, g.velum > 0.001f ? kVelumOpen : kVelumShut);
    cairo_rectangle(cr, junction - port_width / 2.0, port_top, port_width,
                    port_bottom - port_top);
    cairo_fill(cr);

    char text[96];
    colour(cr, kText);
    label(cr, 4.0, oral_axis + 4.0, "glottis");
    label(cr, left + 25.0 * step + 4.0, oral_axis + 4.0, "lips");
    label(cr, junction + 16.0 * step - 44.0, nasal_axis - 32.0, "nostrils");
    snprintf(text, sizeof text, "velum %.3f", g.velum);
    label(cr, junction + port_width / 2.0 + 6.0, (port_top + port_bottom) / 2.0,
          text);
    float narrowest = g.oral[4];
    for (int k = 5; k < kOral; ++k)
      narrowest = fminf(narrowest, g.oral[k]);
    snprintf(text, sizeof text, "oral %.2f ... %.2f, narrowest %.2f", g.oral[0],
             g.oral[kOral - 1], narrowest);
    label(cr, left, kTractHeight - 12.0, text);
    if (live_)
      snprintf(text, sizeof text, "%d note%s", g.notes,
               g.notes == 1 ? "" : "s");
    else
      snprintf(text, sizeof text, "audio not running");
    label(cr, kWidth - 130.0, 20.0, text);
    colour(cr, kFaint);
    for (int k = 0; k < kOral; k += 4) {
      snprintf(text, sizeof text, "%d", k);
      label(cr, left + (k + 0.5) * step - 3.0, kTractHeight - 30.0, text);
    }
  }

  void draw_controls(cairo_t *cr) {
    colour(cr, kPanel);
    cairo_rectangle(cr, 0.0, kTractHeight, kWidth, kHeight - kTractHeight);
    cairo_fill(cr);
    char text[48];
    for (int c = 0; c < kNumControls; ++c) {
      const ControlLabel l = control_label(c);
      const Box b = slider_bar(c);
      colour(cr, kText);
      label(cr, b.x - kLabelWidth, b.y + 11.0, l.name);
      framed(cr, b, false);
      double x = to_position(c, values_[c]);
      x = x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x);
      colour(cr, kBar);
      cairo_rectangle(cr, b.x + 1.0, b.y + 1.0, (b.w - 2.0) * x, b.h - 2.0);
      cairo_fill(cr);
      if (l.integer)
        snprintf(text, sizeof text, "%.0f %s", values_[c], l.unit);
      else if (l.logarithmic || kControlRanges[c].max > 1.0f)
        snprintf(text, sizeof text, "%.3g %s", values_[c], l.unit);
      else
        snprintf(text, sizeof text, "%.2f", values_[c]);
      colour(cr, kText);
      label(cr, b.x + b.w + 6.0, b.y + 11.0, text);
    }
  }

  void draw_presets(cairo_t *cr) {
    for (int p = 0; p < kNumPresets; ++p) {
      draw_button(cr, preset_button(p), p == preset_, 10.0, kPresets[p].label);
    }
  }

  // A box filled white (or in the bar's colour when lit) inside a faint frame.
  static void framed(cairo_t *cr, const Box &b, bool lit) {
    if (lit)
      colour(cr, kBar);
    else
      cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_rectangle(cr, b.x, b.y, b.w, b.h);
    cairo_fill_preserve(cr);
    colour(cr, kFaint);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
  }

  // A framed button, with white text when lit.
  void draw_button(cairo_t *cr, const Box &b, bool lit, double inset,
                   const char *text) {
    framed(cr, b, lit);
    if (lit)
      cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    else
      colour(cr, kText);
    label(cr, b.x + inset, b.y + 18.0, text);
  }

  // The lyric's text, then its syllables with the one the last note sang
  // lit (lyrics mode), then the choices.
  void draw_lyric(cairo_t *cr) {
    colour(cr, kText);
    const std::string heading = "Lyric: " + lyric_;
    label(cr, kSliderLeft, kLyricTop, heading.c_str());
    const int current = live_ ? picture_.syllable : -1;
    // From a few syllables before the current one, so that it is in view.
    int first = current > 4 ? current - 4 : 0;
    double x = kSliderLeft;
    for (int k = first; k < static_cast<int>(syllables_.size()); ++k) {
      cairo_text_extents_t e;
      cairo_text_extents(cr, syllables_[k].c_str(), &e);
      if (x + e.x_advance + 12.0 > kWidth)
        break;
      if (k == current) {
        colour(cr, kBar);
        cairo_rectangle(cr, x - 3.0, kLyricTop + 10.0, e.x_advance + 6.0, 20.0);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
      } else {
        colour(cr, kText);
      }
      label(cr, x, kLyricTop + 24.0, syllables_[k].c_str());
      x += e.x_advance + 14.0;
    }
    for (int k = 0; k < kNumChoices; ++k) {
      draw_button(cr, lyric_button(k), lyric_ == kLyricChoices[k], 6.0,
                  kLyricChoices[k]);
    }
  }

  static void label(cairo_t *cr, double x, double y, const char *text) {
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, text);
  }

  const tractwave_lv2::TractView *view_;
  float values_[kNumControls];
  TractPicture picture_ = {};
  bool live_ = false;
  int dragging_ = -1;
  int preset_ = -1;
  std::string lyric_;
  std::vector<std::string> syllables_;

  DISTRHO_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(TractwaveUI)
};

} // namespace

UI *createUI() { return new TractwaveUI(); }

END_NAMESPACE_DISTRHO
