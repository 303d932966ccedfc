// tirvane snap and tirvane screenshot.
#include "cli/photo_commands.h"

#include "cli/app_connection.h"
#include "cli/commands.h"
#include "protocol/app_contract.h"

SavedFile take_photo() {
  const std::string device = device_query();
  const std::string size = size_query();
  const HttpResponse response = get_or_fail(std::string(contract::kFrameQuery) + device + size);
  const Body& image = captured_body(response, "could not take a photo");
  return SavedFile{write_output(image, kPhotoFile), image.size()};
}

void run_snap(const Positional&) { print_saved(take_photo()); }

void run_screenshot(const Positional&) {
  const std::string size = size_query();
  const HttpResponse response = get_or_fail(std::string(contract::kScreenFrameQuery) + size);
  const Body& image = captured_body(response, "could not capture the screen");
  print_saved(SavedFile{write_output(image, kScreenFile), image.size()});
}
