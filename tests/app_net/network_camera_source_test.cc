// The registered sources as devices "net:<name>": listing, finding, and what happens as sources
// come and go.
#include "app/net/network_camera_provider.h"
#include "fake_phone.h"

namespace testing_support {
namespace {

using app::NetworkCameraEntry;
using app::net::NetworkCameraProvider;

std::vector<std::string> ids_of(const std::vector<std::shared_ptr<app::Device>>& devices) {
  std::vector<std::string> ids;
  for (const auto& device : devices) ids.push_back(device->info().id);
  return ids;
}

class NetworkCameraSourceTest : public ::testing::Test {
 protected:
  std::vector<NetworkCameraEntry> registered{{"phone", "http://192.168.1.50:8080/shot.jpg"},
                                             {"door", "https://cam.local/snapshot.cgi"}};
  NetworkCameraProvider source{[this] { return registered; }};

  std::shared_ptr<app::Device> found(std::string_view id) {
    auto result = source.find(id);
    if (!result || app::failed(*result)) {
      ADD_FAILURE() << "nothing found for " << id;
      return nullptr;
    }
    return std::get<std::shared_ptr<app::Device>>(*result);
  }

  app::Failure refusal(std::string_view id) {
    auto result = source.find(id);
    if (!result || !app::failed(*result)) {
      ADD_FAILURE() << "no refusal for " << id;
      return {app::FailureKind::kInternal, "no refusal"};
    }
    return std::get<app::Failure>(*result);
  }
};

TEST_F(NetworkCameraSourceTest, ListsEveryRegisteredSourceInOrder) {
  const auto devices = source.devices();
  EXPECT_EQ(ids_of(devices), (std::vector<std::string>{"net:phone", "net:door"}));
  EXPECT_EQ(devices[0]->info().name, "network camera at 192.168.1.50:8080");
  EXPECT_EQ(devices[1]->info().name, "network camera at cam.local");
  for (const auto& device : devices) EXPECT_FALSE(device->info().focusable);

  registered.clear();
  EXPECT_TRUE(source.devices().empty());
}

TEST_F(NetworkCameraSourceTest, FindsARegisteredSourceByItsId) {
  auto door = found("net:door");
  ASSERT_TRUE(door);
  EXPECT_EQ(door->info().id, "net:door");
  // The same device as listed, so calls on it are serialised through one `busy`.
  EXPECT_EQ(door, source.devices()[1]);
  EXPECT_EQ(door, found("net:door"));
}

TEST_F(NetworkCameraSourceTest, AnUnknownNameIsA404) {
  for (const auto& [id, message] : std::vector<std::pair<std::string, std::string>>{
           {"net:garage",
            "no source named garage: register it with tirvane add-source garage URL, or see "
            "tirvane sources"},
           {"net:Phone",
            "no source named Phone: register it with tirvane add-source Phone URL, or see "
            "tirvane sources"},
           {"net:", "net: needs the name of a registered source, as in net:phone"},
       }) {
    app::Failure failure = refusal(id);
    EXPECT_EQ(failure.status, 404) << id;
    EXPECT_EQ(failure.message, message) << id;
  }
}

TEST_F(NetworkCameraSourceTest, LeavesOtherIdsToOtherSources) {
  for (std::string_view id : {"screen", "test", "0", "net", "NET:phone", "phone", ""}) {
    EXPECT_FALSE(source.find(id).has_value()) << id;
  }
}

TEST_F(NetworkCameraSourceTest, FollowsTheRegistryAsItChanges) {
  auto phone = found("net:phone");
  ASSERT_TRUE(phone);

  registered.push_back({"garage", "http://10.0.0.9/jpg"});
  EXPECT_TRUE(found("net:garage"));

  // A source registered again under its name with another URL is a new device.
  registered[0].url = "http://192.168.1.51:8080/shot.jpg";
  auto moved = found("net:phone");
  ASSERT_TRUE(moved);
  EXPECT_NE(moved, phone);
  EXPECT_EQ(moved->info().name, "network camera at 192.168.1.51:8080");

  registered.erase(registered.begin());
  EXPECT_EQ(refusal("net:phone").status, 404);
  EXPECT_EQ(ids_of(source.devices()), (std::vector<std::string>{"net:door", "net:garage"}));
}

TEST_F(NetworkCameraSourceTest, AFoundDeviceFetchesFromItsUrl) {
  FakeService phone;
  const std::string jpeg = test_jpeg(40, 30);
  phone.add(reply(http_answer(200, "image/jpeg", jpeg)));
  registered.push_back({"desk", "http://127.0.0.1:" + phone.port_text() + "/photo.jpg"});
  auto desk = found("net:desk");
  ASSERT_TRUE(desk);
  app::Result<app::JpegFrame> frame = desk->capture_jpeg(app::FrameRequest{20, std::nullopt});
  ASSERT_FALSE(app::failed(frame)) << std::get<app::Failure>(frame).message;
  EXPECT_EQ(std::get<app::JpegFrame>(frame).width, 20);
  EXPECT_EQ(std::get<app::JpegFrame>(frame).height, 15);
  ASSERT_EQ(phone.requests().size(), 1u);
  EXPECT_TRUE(phone.requests()[0].starts_with("GET /photo.jpg ")) << phone.requests()[0];
}

}  // namespace
}  // namespace testing_support
