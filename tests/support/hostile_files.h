// Hostile files made from sound ones, and what every one of them must end
// in: loading refuses it in one line that names the file and the problem,
// and voluna-filter exits 1 with that line and writes nothing.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tool_runner.h"
#include "volume_io.h"

namespace voluna::test_support {

struct Hostile {
  std::string file;      // in the test's folder
  std::string fragment;  // what the refusal must say
};

// Variants of `good`, each changed by `change`, written into `folder`.
class HostileList {
 public:
  HostileList(std::filesystem::path folder, std::string good) : folder_(std::move(folder)), good_(std::move(good)) {}

  template <typename Change>
  void variant(const std::string& name, Change change, const std::string& fragment) {
    std::string bytes = good_;
    change(bytes);
    add(name, bytes, fragment);
  }
  void add(const std::string& name, const std::string& bytes, const std::string& fragment) {
    std::ofstream(folder_ / name, std::ios::binary) << bytes;
    list_.push_back({name, fragment});
  }
  // A gzip stream cut in half, and one whose deflated bytes are scrambled.
  void brokenGzip(const std::string& stem, const std::string& gz, const std::string& truncated) {
    add(stem + "_truncated.nii.gz", gz.substr(0, gz.size() / 2), truncated);
    std::string corrupt = gz;
    for (size_t i = 20; i < corrupt.size() - 8; ++i) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5a);
    add(stem + "_corrupt.nii.gz", corrupt, "corrupt compressed data");
  }
  const std::vector<Hostile>& files() const { return list_; }

 private:
  std::filesystem::path folder_;
  std::string good_;
  std::vector<Hostile> list_;
};

inline void expectEveryLoadRefused(const std::filesystem::path& folder, const std::vector<Hostile>& all) {
  for (const Hostile& h : all) {
    const std::string path = (folder / h.file).string();
    const LoadResult loaded = loadVolume(path);
    ASSERT_FALSE(loaded.ok()) << h.file << " loaded";
    EXPECT_EQ(loaded.error.rfind(path + ": ", 0), 0u) << loaded.error;
    EXPECT_NE(loaded.error.find(h.fragment), std::string::npos) << h.file << ": " << loaded.error;
    EXPECT_EQ(loaded.error.find('\n'), std::string::npos) << loaded.error;
    EXPECT_TRUE(loaded.volume.data.empty()) << h.file;
  }
}

inline void expectEveryRunRefused(const std::filesystem::path& folder, const std::vector<Hostile>& all) {
  const std::filesystem::path out = folder / "out";
  std::filesystem::create_directory(out);
  for (const Hostile& h : all) {
    const std::string path = (folder / h.file).string();
    const Outcome run = runTool(out, {"--samples", "1", "--steps", "1", "--angle", "90", "-o", "r.nii", path});
    ASSERT_TRUE(run.exited) << h.file << " killed voluna-filter with signal " << run.status;
    EXPECT_EQ(run.status, 1) << h.file << ": " << run.err;
    EXPECT_EQ(run.err.rfind("voluna-filter: " + path + ": ", 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    EXPECT_TRUE(std::filesystem::is_empty(out)) << h.file << " left files behind";
  }
}

}  // namespace voluna::test_support
