#pragma once
// A folder of its own under the system's temporary folder for one test, removed with everything
// in it when the test is done.

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace tessamer::testkit {

class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& tag = "tessamer") {
    static std::atomic<int> serial{0};
    path = std::filesystem::temp_directory_path() /
           (tag + "-" + std::to_string(std::random_device{}()) + "-" + std::to_string(++serial));
    std::filesystem::create_directories(path);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // `name` inside the folder.
  std::string File(const std::string& name) const { return (path / name).string(); }
  const std::filesystem::path& Path() const { return path; }

 private:
  std::filesystem::path path;
};

}  // namespace tessamer::testkit
