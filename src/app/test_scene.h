// The picture the built-in test camera sees: a printed test chart with fine detail and colour,
// a clock on it that runs, and what a lens and a sensor do to it (defocus, exposure, brightness).
//
// Chart coordinates: the frame's height is 1 at zoom 1 and the centre is (0, 0), so a wider frame
// shows more of the chart's sides rather than stretching it; zoom z shows 1/z of it.
#pragma once

#include <chrono>
#include <cstdint>

#include "app/image.h"

namespace app {

// The static chart, RGB, width x height, antialiased.
Image render_chart(int width, int height, double zoom);

// The clock panel in the middle of the chart: the time of day to the millisecond and a frame
// number, drawn into an image made by render_chart with the same zoom.
void draw_clock(Image& image, double zoom, std::chrono::system_clock::time_point time,
                std::uint64_t frame_number);

// Blurs as an out-of-focus lens does: `radius` is the blur's half width in pixels and may be
// fractional; the blur grows smoothly with it, and 0 leaves the image alone.
void defocus(Image& image, double radius);

// Exposure relative to the nominal one (1 = unchanged; light is multiplied before the sensor's
// response curve, so highlights burn out) and a brightness offset in levels.
void apply_exposure(Image& image, double gain, int brightness);

// Luma (BT.601) of an RGB image.
Image to_gray(const Image& rgb);

}  // namespace app
