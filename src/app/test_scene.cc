#include "app/test_scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numbers>
#include <string>
#include <vector>

namespace app {
namespace {

struct Rgb {
  double r, g, b;  // 0..1
};

constexpr Rgb kPaper{0.80, 0.79, 0.76};
constexpr Rgb kInk{0.06, 0.06, 0.07};
constexpr Rgb kWhite{0.96, 0.96, 0.95};

// Colour bars along the top, left to right.
constexpr std::array<Rgb, 8> kBars{{{0.75, 0.75, 0.75},
                                     {0.75, 0.75, 0.0},
                                     {0.0, 0.75, 0.75},
                                     {0.0, 0.75, 0.0},
                                     {0.75, 0.0, 0.75},
                                     {0.75, 0.0, 0.0},
                                     {0.0, 0.0, 0.75},
                                     {0.02, 0.02, 0.02}}};

// Colour patches above the clock: skin tones, sky, foliage, primaries and secondaries.
constexpr std::array<Rgb, 12> kPatches{{{0.45, 0.32, 0.26},
                                         {0.76, 0.59, 0.51},
                                         {0.38, 0.48, 0.61},
                                         {0.35, 0.42, 0.26},
                                         {0.51, 0.50, 0.69},
                                         {0.40, 0.74, 0.67},
                                         {0.84, 0.49, 0.18},
                                         {0.31, 0.36, 0.65},
                                         {0.76, 0.32, 0.38},
                                         {0.37, 0.23, 0.42},
                                         {0.62, 0.73, 0.25},
                                         {0.89, 0.63, 0.18}}};

// Where things sit on the chart.
constexpr double kBandTop = -0.40;    // colour bars above this
constexpr double kBandBottom = 0.40;  // gray steps below this
constexpr double kBandHalfWidth = 0.90;
constexpr double kStarX = -0.52, kStarRadius = 0.30;
constexpr int kStarSpokes = 36;
constexpr double kBarsLeft = 0.27, kBarsRight = 0.75, kBarsTop = -0.31, kBarsRowHeight = 0.10;
constexpr double kZoneY = 0.215, kZoneRadius = 0.135, kZoneScale = 0.135 / 260.0;
constexpr double kPanelHalfWidth = 0.19, kPanelHalfHeight = 0.055;

bool is_ink_grid(double u, double v) {
  // A faint grid every 0.05, a fine pattern across the whole sheet.
  const double gu = std::abs(u / 0.05 - std::round(u / 0.05));
  const double gv = std::abs(v / 0.05 - std::round(v / 0.05));
  return gu < 0.025 || gv < 0.025;
}

Rgb star(double du, double dv, double r) {
  if (r > kStarRadius - 0.004) return kInk;  // the ring around it
  if (r < 0.012) return Rgb{0.5, 0.5, 0.5};
  const double angle = std::atan2(dv, du);
  return std::sin(angle * kStarSpokes / 2.0) > 0 ? kInk : kWhite;
}

// Rows of three bars at shrinking pitch, upright then lying, then a checkerboard of that pitch.
Rgb resolution_bars(double u, double v) {
  const int row = static_cast<int>((v - kBarsTop) / kBarsRowHeight);
  const double pitch = 0.014 * std::pow(0.72, row);
  const double local_v = v - kBarsTop - row * kBarsRowHeight;
  const double group = 0.16;
  const double local_u = u - kBarsLeft;
  const int which = static_cast<int>(local_u / group);
  const double gu = local_u - which * group;
  const double height = 3 * pitch * 2.5;
  if (local_v < 0.01 || local_v > 0.01 + height || gu > 0.13) return kWhite;
  const double gv = local_v - 0.01;
  switch (which) {
    case 0: {  // upright bars
      const double phase = std::fmod(gu, pitch);
      return gu < 5 * pitch && phase < pitch / 2 ? kInk : kWhite;
    }
    case 1: {  // lying bars
      const double phase = std::fmod(gv, pitch);
      return gv < 5 * pitch && phase < pitch / 2 ? kInk : kWhite;
    }
    default: {
      const int cu = static_cast<int>(gu / (pitch / 2));
      const int cv = static_cast<int>(gv / (pitch / 2));
      return (cu + cv) % 2 == 0 ? kInk : kWhite;
    }
  }
}

Rgb chart_at(double u, double v) {
  if (v < kBandTop || v > kBandBottom) {
    if (std::abs(u) > kBandHalfWidth || std::abs(v) > 0.49) return kPaper;
    const double step = 2 * kBandHalfWidth;
    if (v < kBandTop) {
      const auto i = static_cast<std::size_t>((u + kBandHalfWidth) / step * kBars.size());
      return kBars[std::min(i, kBars.size() - 1)];
    }
    const int i = std::min(10, static_cast<int>((u + kBandHalfWidth) / step * 11));
    const double level = 0.03 + 0.94 * i / 10.0;
    return Rgb{level, level, level};
  }
  const double sdu = u - kStarX;
  const double sr = std::hypot(sdu, v);
  if (sr < kStarRadius) return star(sdu, v, sr);
  if (u > kBarsLeft && u < kBarsRight && v > kBarsTop && v < kBarsTop + 6 * kBarsRowHeight) {
    return resolution_bars(u, v);
  }
  if (std::abs(u) < kPanelHalfWidth && std::abs(v) < kPanelHalfHeight) return Rgb{0.05, 0.06, 0.05};
  // Colour patches, two rows of six, above the clock.
  if (std::abs(u) < 0.195 && v > -0.335 && v < -0.085) {
    const int col = static_cast<int>((u + 0.195) / 0.065);
    const int row = static_cast<int>((v + 0.335) / 0.125);
    const double cu = u + 0.195 - col * 0.065;
    const double cv = v + 0.335 - row * 0.125;
    if (cu > 0.005 && cv > 0.008) return kPatches[static_cast<std::size_t>(row * 6 + col)];
    return kInk;
  }
  // A zone plate below the clock: rings whose spacing shrinks outwards, every frequency at once.
  const double zr = std::hypot(u, v - kZoneY);
  if (zr < kZoneRadius) {
    const double level = 0.5 + 0.45 * std::cos(std::numbers::pi * zr * zr / (kZoneScale));
    return Rgb{level, level, level};
  }
  return is_ink_grid(u, v) ? Rgb{0.62, 0.61, 0.59} : kPaper;
}

std::uint8_t to_level(double value) {
  return static_cast<std::uint8_t>(std::lround(std::clamp(value, 0.0, 1.0) * 255.0));
}

// Chart coordinates of pixel edges: u = (x - width/2) / (height * zoom).
struct Mapping {
  double scale;  // pixels per chart unit
  double cx, cy;
  double px(double u) const { return u * scale + cx; }
  double py(double v) const { return v * scale + cy; }
};

Mapping mapping_for(const Image& image, double zoom) {
  return Mapping{image.height * zoom, image.width / 2.0, image.height / 2.0};
}

// Fills a chart-space rectangle, blending partly covered pixels by how much they are covered.
void fill_rect(Image& image, const Mapping& map, double u0, double v0, double u1, double v1,
               Rgb colour) {
  const double x0 = map.px(u0), x1 = map.px(u1), y0 = map.py(v0), y1 = map.py(v1);
  const int ix0 = std::max(0, static_cast<int>(std::floor(x0)));
  const int ix1 = std::min(image.width, static_cast<int>(std::ceil(x1)));
  const int iy0 = std::max(0, static_cast<int>(std::floor(y0)));
  const int iy1 = std::min(image.height, static_cast<int>(std::ceil(y1)));
  const std::array<double, 3> target{colour.r * 255, colour.g * 255, colour.b * 255};
  for (int y = iy0; y < iy1; ++y) {
    const double cover_y = std::min<double>(y + 1, y1) - std::max<double>(y, y0);
    std::uint8_t* row = image.pixels.data() + static_cast<std::size_t>(y) * image.stride;
    for (int x = ix0; x < ix1; ++x) {
      const double cover = cover_y * (std::min<double>(x + 1, x1) - std::max<double>(x, x0));
      if (cover <= 0) continue;
      std::uint8_t* pixel = row + static_cast<std::size_t>(x) * 3;
      for (std::size_t c = 0; c < 3; ++c) {
        pixel[c] = static_cast<std::uint8_t>(std::lround(pixel[c] + (target[c] - pixel[c]) * cover));
      }
    }
  }
}

// Seven-segment digits: bit 0 top, 1 upper right, 2 lower right, 3 bottom, 4 lower left,
// 5 upper left, 6 middle.
constexpr std::array<std::uint8_t, 10> kSegments{0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                                 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

constexpr Rgb kLit{0.80, 1.0, 0.72};
constexpr Rgb kUnlit{0.13, 0.17, 0.13};

void draw_digit(Image& image, const Mapping& map, double u, double v, double height, int digit) {
  const double w = height * 0.5, t = height * 0.12, mid = v + height / 2;
  const std::array<std::array<double, 4>, 7> segments{{
      {u + t, v, u + w - t, v + t},
      {u + w - t, v + t, u + w, mid - t / 2},
      {u + w - t, mid + t / 2, u + w, v + height - t},
      {u + t, v + height - t, u + w - t, v + height},
      {u, mid + t / 2, u + t, v + height - t},
      {u, v + t, u + t, mid - t / 2},
      {u + t, mid - t / 2, u + w - t, mid + t / 2},
  }};
  for (std::size_t s = 0; s < segments.size(); ++s) {
    const bool lit = (kSegments[static_cast<std::size_t>(digit)] >> s) & 1;
    const auto& r = segments[s];
    fill_rect(image, map, r[0], r[1], r[2], r[3], lit ? kLit : kUnlit);
  }
}

// Draws `text` (digits, ':' and '.') starting at (u, v); returns the width used.
double draw_text(Image& image, const Mapping& map, double u, double v, double height,
                 const std::string& text) {
  const double start = u;
  for (char ch : text) {
    if (ch >= '0' && ch <= '9') {
      draw_digit(image, map, u, v, height, ch - '0');
      u += height * 0.62;
    } else {
      const double dot = height * 0.13;
      if (ch == ':') fill_rect(image, map, u, v + height * 0.25, u + dot, v + height * 0.25 + dot, kLit);
      fill_rect(image, map, u, v + height * 0.75 - dot, u + dot, v + height * 0.75, kLit);
      u += height * 0.28;
    }
  }
  return u - start;
}

// One box pass along rows: each output is the mean of 2r+1 inputs, plus the two next ones
// weighted by `edge` (0..256 meaning 0..1), so the width varies smoothly. Rows are copied into
// a buffer padded with repeats of the end pixels, so the inner loop needs no bounds checks.
template <int kChannels>
void box_rows_of(Image& image, int r, int edge) {
  constexpr auto kCount = static_cast<std::size_t>(kChannels);
  const int width = image.width;
  const float inverse = 1.0f / static_cast<float>(256 * (2 * r + 1) + 2 * edge);
  const int pad = r + 1;
  std::vector<int> line(static_cast<std::size_t>((width + 2 * pad) * kChannels));
  for (int y = 0; y < image.height; ++y) {
    std::uint8_t* row = image.pixels.data() + static_cast<std::size_t>(y) * image.stride;
    int* out = line.data();
    for (int x = -pad; x < width + pad; ++x) {
      const std::uint8_t* from = row + std::clamp(x, 0, width - 1) * kChannels;
      for (int c = 0; c < kChannels; ++c) *out++ = from[c];
    }
    // p points at pixel 0 of the padded line.
    const int* p = line.data() + pad * kChannels;
    std::array<int, kCount> sum{};
    for (int k = -r; k <= r; ++k) {
      for (int c = 0; c < kChannels; ++c) sum[static_cast<std::size_t>(c)] += p[k * kChannels + c];
    }
    const int before = -(r + 1) * kChannels, after = (r + 1) * kChannels, leaving = -r * kChannels;
    for (int x = 0; x < width; ++x, p += kChannels) {
      for (int c = 0; c < kChannels; ++c) {
        int& s = sum[static_cast<std::size_t>(c)];
        const int total = 256 * s + edge * (p[before + c] + p[after + c]);
        row[x * kChannels + c] = static_cast<std::uint8_t>(static_cast<float>(total) * inverse + 0.5f);
        s += p[after + c] - p[leaving + c];
      }
    }
  }
}

void box_rows(Image& image, int r, int edge) {
  switch (image.format) {
    case PixelFormat::kGray: box_rows_of<1>(image, r, edge); break;
    case PixelFormat::kRgb: box_rows_of<3>(image, r, edge); break;
    case PixelFormat::kBgrx: box_rows_of<4>(image, r, edge); break;
  }
}

// The same along columns, a whole row at a time so memory is read in order.
void box_columns(Image& image, int r, int edge) {
  const int height = image.height;
  const std::size_t row_bytes = static_cast<std::size_t>(image.width) * bytes_per_pixel(image.format);
  const float inverse = 1.0f / static_cast<float>(256 * (2 * r + 1) + 2 * edge);
  const Image source = image;
  auto row = [&](int y) {
    return source.pixels.data() + static_cast<std::size_t>(std::clamp(y, 0, height - 1)) * source.stride;
  };
  std::vector<int> sum(row_bytes, 0);
  for (int k = -r; k <= r; ++k) {
    const std::uint8_t* in = row(k);
    for (std::size_t i = 0; i < row_bytes; ++i) sum[i] += in[i];
  }
  for (int y = 0; y < height; ++y) {
    std::uint8_t* out = image.pixels.data() + static_cast<std::size_t>(y) * image.stride;
    const std::uint8_t* above = row(y - r - 1);
    const std::uint8_t* below = row(y + r + 1);
    const std::uint8_t* leaving = row(y - r);
    for (std::size_t i = 0; i < row_bytes; ++i) {
      const int total = 256 * sum[i] + edge * (above[i] + below[i]);
      out[i] = static_cast<std::uint8_t>(static_cast<float>(total) * inverse + 0.5f);
      sum[i] += below[i] - leaving[i];
    }
  }
}

}  // namespace

Image render_chart(int width, int height, double zoom) {
  Image image = make_image(width, height, PixelFormat::kRgb);
  const double unit = 1.0 / (height * zoom);  // chart units per pixel
  // Four samples per pixel, so edges and fine patterns come out as a lens would resolve them.
  constexpr std::array<double, 2> kOffsets{0.25, 0.75};
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = image.pixels.data() + static_cast<std::size_t>(y) * image.stride;
    for (int x = 0; x < width; ++x) {
      Rgb sum{0, 0, 0};
      for (double oy : kOffsets) {
        for (double ox : kOffsets) {
          const Rgb c = chart_at((x + ox - width / 2.0) * unit, (y + oy - height / 2.0) * unit);
          sum.r += c.r;
          sum.g += c.g;
          sum.b += c.b;
        }
      }
      std::uint8_t* pixel = row + static_cast<std::size_t>(x) * 3;
      pixel[0] = to_level(sum.r / 4);
      pixel[1] = to_level(sum.g / 4);
      pixel[2] = to_level(sum.b / 4);
    }
  }
  return image;
}

void draw_clock(Image& image, double zoom, std::chrono::system_clock::time_point time,
                std::uint64_t frame_number) {
  const Mapping map = mapping_for(image, zoom);
  const auto since_epoch = time.time_since_epoch();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count() % 1000;
  char clock[16];
  std::snprintf(clock, sizeof clock, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis));
  char counter[16];
  std::snprintf(counter, sizeof counter, "%06llu",
                static_cast<unsigned long long>(frame_number % 1000000));
  draw_text(image, map, -0.16, -0.01, 0.05, clock);
  draw_text(image, map, 0.052, -0.046, 0.024, counter);
  // A bar that sweeps across the panel once a second.
  fill_rect(image, map, -0.16, -0.040, -0.16 + 0.2 * static_cast<double>(millis) / 1000.0,
            -0.030, kLit);
}

void defocus(Image& image, double radius) {
  if (!(radius > 0.01) || image.width < 2 || image.height < 2) return;
  // Two box passes each way approximate a lens's blur disc closely enough, at a cost that does
  // not depend on the radius.
  const double half = std::min(radius / 2.0, static_cast<double>(std::max(image.width, image.height)));
  const int r = static_cast<int>(half);
  const int edge = static_cast<int>(std::lround((half - r) * 256.0));
  for (int pass = 0; pass < 2; ++pass) {
    box_rows(image, r, edge);
    box_columns(image, r, edge);
  }
}

void apply_exposure(Image& image, double gain, int brightness) {
  if (gain == 1.0 && brightness == 0) return;
  std::array<std::uint8_t, 256> table{};
  for (int level = 0; level < 256; ++level) {
    const double light = std::pow(level / 255.0, 2.2) * gain;
    const double out = 255.0 * std::pow(light, 1 / 2.2) + brightness;
    table[static_cast<std::size_t>(level)] =
        static_cast<std::uint8_t>(std::lround(std::clamp(out, 0.0, 255.0)));
  }
  for (std::uint8_t& value : image.pixels) value = table[value];
}

Image to_gray(const Image& rgb) {
  Image gray = make_image(rgb.width, rgb.height, PixelFormat::kGray);
  for (int y = 0; y < rgb.height; ++y) {
    const std::uint8_t* in = rgb.pixels.data() + static_cast<std::size_t>(y) * rgb.stride;
    std::uint8_t* out = gray.pixels.data() + static_cast<std::size_t>(y) * gray.stride;
    for (int x = 0; x < rgb.width; ++x, in += 3) {
      out[x] = static_cast<std::uint8_t>((77 * in[0] + 150 * in[1] + 29 * in[2] + 128) >> 8);
    }
  }
  return gray;
}

}  // namespace app
