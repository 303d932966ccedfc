// Pictures that are not a single JPEG: the first picture of an MJPEG stream in every form
// cameras write one, and PNG snapshots, each fetched from a fake camera on 127.0.0.1.
#include <chrono>

#include "app/net/multipart_part.h"
#include "app/net/network_camera.h"
#include "fake_phone.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace testing_support {
namespace {

using app::JpegFrame;
using app::net::FetchLimits;
using app::net::NetworkCamera;
using namespace std::chrono_literals;

FetchLimits test_limits() {
  FetchLimits limits;
  limits.connect_timeout = 600ms;
  limits.total_timeout = 600ms;
  limits.max_bytes = 256 * 1024;
  return limits;
}

NetworkCamera camera_at(const FakeService& camera, FetchLimits limits = test_limits()) {
  return NetworkCamera(
      app::NetworkCameraEntry{"cam", "http://127.0.0.1:" + camera.port_text() + "/video"}, limits);
}

std::string stream_head(const std::string& content_type) {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + content_type + "\r\nConnection: close\r\n\r\n";
}

// A picture of one colour, as a PNG (or another still format) made by FFmpeg's encoder.
std::string solid_png(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b,
                      AVCodecID format = AV_CODEC_ID_PNG) {
  const AVCodec* codec = avcodec_find_encoder(format);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_RGB24;
  context->time_base = {1, 1};
  std::string png;
  if (avcodec_open2(context, codec, nullptr) == 0) {
    AVFrame* frame = av_frame_alloc();
    frame->width = width;
    frame->height = height;
    frame->format = AV_PIX_FMT_RGB24;
    av_frame_get_buffer(frame, 0);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        std::uint8_t* pixel = frame->data[0] + y * frame->linesize[0] + 3 * x;
        pixel[0] = r;
        pixel[1] = g;
        pixel[2] = b;
      }
    }
    AVPacket* packet = av_packet_alloc();
    if (avcodec_send_frame(context, frame) == 0 && avcodec_receive_packet(context, packet) == 0) {
      png.assign(reinterpret_cast<const char*>(packet->data), static_cast<std::size_t>(packet->size));
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
  }
  avcodec_free_context(&context);
  EXPECT_FALSE(png.empty()) << "the encoder failed";
  return png;
}

TEST(MjpegStream, TheFirstPictureComesInEveryFormCamerasWriteTheirStream) {
  const std::string first = test_jpeg(64, 48);
  const std::string second = test_jpeg(32, 24);
  const std::string n1 = std::to_string(first.size());
  const std::string n2 = std::to_string(second.size());
  struct Case {
    std::string name, content_type, body;
  };
  for (const Case& c : std::vector<Case>{
           {"plain boundary, parts with length", "multipart/x-mixed-replace; boundary=frame",
            "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + n1 + "\r\n\r\n" + first +
                "\r\n--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + n2 + "\r\n\r\n" + second},
           {"parts without length", "multipart/x-mixed-replace;boundary=frame",
            "--frame\r\nContent-Type: image/jpeg\r\n\r\n" + first + "\r\n--frame\r\n\r\n" + second},
           {"no CRLF before the next boundary", "multipart/x-mixed-replace; boundary=frame",
            "--frame\r\nContent-Type: image/jpeg\r\n\r\n" + first + "--frame\r\n\r\n" + second},
           {"boundary written with its dashes", "multipart/x-mixed-replace; boundary=--myboundary",
            "--myboundary\r\nContent-Type: image/jpeg\r\n\r\n" + first + "\r\n--myboundary\r\n\r\n" + second},
           {"dashes in the parameter and more on the line", "multipart/x-mixed-replace; boundary=--myboundary",
            "----myboundary\r\nContent-Type: image/jpeg\r\n\r\n" + first + "\r\n----myboundary\r\n\r\n" + second},
           {"quoted boundary", "Multipart/X-Mixed-Replace; Boundary=\"ipcam frame\"; charset=x",
            "--ipcam frame\r\nContent-type: image/jpeg\r\ncontent-length: " + n1 + "\r\n\r\n" + first +
                "\r\n--ipcam frame\r\n\r\n" + second},
           {"no boundary parameter", "multipart/x-mixed-replace",
            "--BoundaryString\r\nContent-Type: image/jpeg\r\n\r\n" + first + "\r\n--BoundaryString\r\n\r\n" + second},
           {"preamble and bare line feeds", "multipart/x-mixed-replace; boundary=frame",
            "a preamble\n--frame\nContent-Type: image/jpeg\n\n" + first + "\n--frame\n\n" + second},
           {"a part with no header block", "multipart/x-mixed-replace; boundary=frame",
            "--frame\r\n" + first + "\r\n--frame\r\n" + second},
           {"the stream ends after its only part", "multipart/x-mixed-replace; boundary=frame",
            "--frame\r\nContent-Type: image/jpeg\r\n\r\n" + first + "\r\n"},
       }) {
    FakeService camera;
    // Two pieces, so a boundary, a header block or a length is split across reads.
    const std::string whole = stream_head(c.content_type) + c.body;
    const std::size_t cut = whole.size() / 3;
    camera.add(Reply{{whole.substr(0, cut), whole.substr(cut)}, 0ms});
    NetworkCamera device = camera_at(camera);
    app::Result<JpegFrame> frame = device.capture_jpeg({});
    ASSERT_FALSE(app::failed(frame)) << c.name << ": " << std::get<app::Failure>(frame).message;
    EXPECT_EQ(std::get<JpegFrame>(frame).bytes, first) << c.name;
    EXPECT_EQ(std::get<JpegFrame>(frame).width, 64) << c.name;
  }
}

TEST(MjpegStream, ThePictureIsTakenWithoutWaitingForTheStreamToEnd) {
  // The stream goes on long after the time limit: only reading up to the end of the first part
  // gets a picture at all.
  const std::string jpeg = test_jpeg(64, 48);
  const std::string part = "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                           std::to_string(jpeg.size()) + "\r\n\r\n" + jpeg + "\r\n";
  FakeService camera;
  camera.add(Reply{{stream_head("multipart/x-mixed-replace; boundary=frame") + part, part, part, part},
                   250ms});
  NetworkCamera device = camera_at(camera);
  app::Result<JpegFrame> frame = device.capture_jpeg({{32}, {24}});
  ASSERT_FALSE(app::failed(frame)) << std::get<app::Failure>(frame).message;
  EXPECT_EQ(std::get<JpegFrame>(frame).width, 32);
  EXPECT_EQ(std::get<JpegFrame>(frame).height, 24);
}

TEST(MjpegStream, AStreamThatStallsInsideItsFirstPartIsRefusedInTime) {
  const std::string jpeg = test_jpeg(64, 48);
  FakeService camera;
  camera.add(Reply{{stream_head("multipart/x-mixed-replace; boundary=frame") +
                        "--frame\r\nContent-Type: image/jpeg\r\n\r\n" + jpeg.substr(0, 100),
                    jpeg.substr(100) + "\r\n--frame\r\n"},
                   350ms});
  NetworkCamera device = camera_at(camera);
  app::Result<JpegFrame> frame = device.capture_jpeg({});
  ASSERT_TRUE(app::failed(frame));
  EXPECT_EQ(std::get<app::Failure>(frame).status, 502);
  EXPECT_EQ(std::get<app::Failure>(frame).message,
            "net:cam at http://127.0.0.1:" + camera.port_text() +
                "/video timed out after 0.6 s before the first picture of its video stream was "
                "complete");
}

TEST(MjpegStream, BoundaryParameterIsReadAsCamerasWriteIt) {
  using app::net::multipart_boundary;
  EXPECT_EQ(multipart_boundary("multipart/x-mixed-replace; boundary=frame"), "frame");
  EXPECT_EQ(multipart_boundary("multipart/x-mixed-replace;boundary=--frame"), "frame");
  EXPECT_EQ(multipart_boundary("multipart/x-mixed-replace; BOUNDARY = \"--a b\" ; x=1"), "a b");
  EXPECT_EQ(multipart_boundary("multipart/x-mixed-replace; xboundary=no; boundary=yes"), "yes");
  EXPECT_EQ(multipart_boundary("multipart/x-mixed-replace"), "");
}

TEST(StillPictures, APngSnapshotComesBackAsAJpegOfTheSamePicture) {
  const std::string png = solid_png(80, 60, 200, 40, 30);
  for (const app::FrameRequest& request : {app::FrameRequest{}, app::FrameRequest{{40}, {30}}}) {
    FakeService camera;
    camera.add(reply(http_answer(200, "image/png", png)));
    NetworkCamera device = camera_at(camera);
    app::Result<JpegFrame> frame = device.capture_jpeg(request);
    ASSERT_FALSE(app::failed(frame)) << std::get<app::Failure>(frame).message;
    app::Result<app::Image> image = app::decode_jpeg(std::get<JpegFrame>(frame).bytes);
    ASSERT_FALSE(app::failed(image));
    const app::Image& picture = std::get<app::Image>(image);
    EXPECT_EQ(picture.width, request.width.value_or(80));
    EXPECT_EQ(picture.height, request.height.value_or(60));
    const std::uint8_t* centre = picture.pixels.data() +
                                 static_cast<std::size_t>(picture.height / 2) * picture.stride +
                                 3 * static_cast<std::size_t>(picture.width / 2);
    EXPECT_NEAR(centre[0], 200, 8);
    EXPECT_NEAR(centre[1], 40, 8);
    EXPECT_NEAR(centre[2], 30, 8);
  }

  // Other still formats FFmpeg decodes.
  {
    FakeService camera;
    camera.add(reply(http_answer(200, "image/tiff", solid_png(48, 32, 30, 200, 90, AV_CODEC_ID_TIFF))));
    NetworkCamera device = camera_at(camera);
    app::Result<JpegFrame> frame = device.capture_jpeg({});
    ASSERT_FALSE(app::failed(frame)) << std::get<app::Failure>(frame).message;
    app::Result<app::Image> image = app::decode_jpeg(std::get<JpegFrame>(frame).bytes);
    ASSERT_FALSE(app::failed(image));
    EXPECT_EQ(std::get<app::Image>(image).width, 48);
    EXPECT_NEAR(std::get<app::Image>(image).pixels[3 * 48 * 16 + 3 * 24 + 1], 200, 8);
  }

  // A PNG part of an MJPEG stream, and a PNG measured in gray.
  FakeService camera;
  camera.add(reply(stream_head("multipart/x-mixed-replace; boundary=f") +
                   "--f\r\nContent-Type: image/png\r\n\r\n" + png + "\r\n--f\r\n"));
  camera.add(reply(http_answer(200, "image/png", png)));
  NetworkCamera device = camera_at(camera);
  app::Result<JpegFrame> frame = device.capture_jpeg({});
  ASSERT_FALSE(app::failed(frame)) << std::get<app::Failure>(frame).message;
  EXPECT_EQ(std::get<JpegFrame>(frame).width, 80);
  app::Result<app::Image> gray = device.capture_gray();
  ASSERT_FALSE(app::failed(gray)) << std::get<app::Failure>(gray).message;
  EXPECT_EQ(std::get<app::Image>(gray).width, 80);
  EXPECT_NEAR(std::get<app::Image>(gray).pixels[100], (77 * 200 + 150 * 40 + 29 * 30) >> 8, 3);
}

}  // namespace
}  // namespace testing_support
