// Making a webcam's MJPEG frame into a JPEG file any viewer opens.
//
// UVC cameras commonly leave the Huffman tables (the DHT segment) out of their frames and rely on
// the decoder assuming the standard tables of the JPEG standard (Annex K.3); libjpeg-turbo copes,
// many viewers do not. Frames may also arrive cut short, or padded after their end marker.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace app::v4l2 {

// The frame as a self-contained JPEG: the standard tables inserted before the scan when the
// frame has none, anything after the end-of-image marker dropped. Nothing when the frame is not
// a whole JPEG (no start marker, a segment running past the end, no scan, no end marker).
std::optional<std::string> servable_jpeg(std::string_view frame);

// True when a DHT segment comes before the first scan.
bool has_huffman_tables(std::string_view jpeg);

}  // namespace app::v4l2
