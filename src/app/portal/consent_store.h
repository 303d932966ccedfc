// The desktop's permission to capture the screen, kept as the portal's newest restore token in
// the service's configuration folder (readable by the user alone), so no dialog is shown again,
// also after the service or the desktop restarts.
#pragma once

#include <optional>
#include <string>

#include "app/failure.h"

namespace app::portal {

class ConsentStore {
 public:
  // `folder` is the service's configuration folder ("" when there is none: nothing is kept).
  explicit ConsentStore(std::string folder);

  // The token file's path ("" without a folder).
  const std::string& file() const { return file_; }

  // The stored token, when there is one.
  std::optional<std::string> token() const;
  // Replaces the stored token (mode 0600, written to a new file and renamed into place). A
  // Failure that names the file when it cannot be written.
  std::optional<Failure> store(const std::string& token) const;
  // Forgets the token (the desktop no longer accepts it).
  void forget() const;

 private:
  std::string folder_;
  std::string file_;
};

}  // namespace app::portal
