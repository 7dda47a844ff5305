// A fresh folder per test, removed afterwards, for tests that write files.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace voluna::test_support {

class ScratchFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::filesystem::temp_directory_path() /
              ("voluna-" + std::string(test->test_suite_name()) + "-" + test->name() + "-" +
               std::to_string(::getpid()));
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string path(const std::string& name) const { return (folder_ / name).string(); }

  static std::string slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // Starts `binary` in the folder with its standard output and error going
  // to the files .stdout and .stderr there, and returns at once.
  pid_t startInFolder(const char* binary, std::vector<std::string> arguments) const {
    // Removed here, not truncated in the child: otherwise a caller polling
    // for output may read the previous run's before the child starts.
    std::filesystem::remove(path(".stdout"));
    std::filesystem::remove(path(".stderr"));
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(folder_.c_str()) != 0) ::_exit(99);
      const int out = ::open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(err, 2);
      std::vector<char*> argv{const_cast<char*>(binary)};
      for (auto& a : arguments) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(binary, argv.data());
      ::_exit(98);
    }
    return pid;
  }

  // The names in the folder, sorted: a refused run must leave none behind.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::filesystem::path folder_;
};

}  // namespace voluna::test_support
