// Every file of three corpora of real data nobody here wrote (pydicom's,
// nibabel's and ITK's test data, from their Debian packages) through
// voluna-filter: each run ends in a result or in one line that says why,
// never in a signal, and a refusal leaves nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tool_runner.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> corpusFiles() {
  std::vector<std::string> files;
  for (const char* root : {VOLUNA_PYDICOM_DATA, VOLUNA_NIBABEL_DATA, VOLUNA_ITK_EXAMPLES_DATA}) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file()) files.push_back(it->path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

int lineCount(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + (!text.empty() && text.back() != '\n');
}

TEST(WildCorpus, EveryFileEndsInAResultOrOneLineWhy) {
  const std::vector<std::string> files = corpusFiles();
  if (files.empty()) GTEST_SKIP() << "none of the corpora is installed (python3-pydicom, python3-nibabel, "
                                     "insighttoolkit5-examples)";
  std::atomic<size_t> next{0};
  std::mutex mutex;
  std::map<int, int> statuses;
  std::vector<std::string> faults;
  auto worker = [&](int id) {
    const fs::path folder = fs::temp_directory_path() / ("voluna-corpus-" + std::to_string(::getpid()) + "-" +
                                                         std::to_string(id));
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (size_t i; (i = next++) < files.size();) {
      const std::string& file = files[i];
      const test_support::Outcome run = test_support::runTool(
          folder, {"--samples", "1", "--steps", "1", "--angle", "90", "--backend", "cpu", "-o", "out.nii", file});
      std::string fault;
      if (!run.exited) {
        fault = "ended by signal " + std::to_string(run.status);
      } else if (run.status > 2) {
        fault = "exited with status " + std::to_string(run.status);
      } else if (run.status != 0 && (lineCount(run.err) != 1 || run.err.rfind("voluna-filter: ", 0) != 0)) {
        fault = "refused in " + std::to_string(lineCount(run.err)) + " lines: " + run.err;
      } else if (run.status != 0 && fs::exists(folder / "out.nii")) {
        fault = "refused, yet wrote its output";
      }
      fs::remove(folder / "out.nii");
      std::lock_guard<std::mutex> lock(mutex);
      ++statuses[run.exited ? run.status : -run.status];
      if (!fault.empty()) faults.push_back(file + ": " + fault);
    }
    fs::remove_all(folder);
  };
  // Two at a time: CI machines have two cores.
  std::thread first(worker, 0), second(worker, 1);
  first.join();
  second.join();
  std::ostringstream summary;
  summary << files.size() << " files:";
  for (const auto& [status, count] : statuses) summary << " " << count << " x " << status;
  std::cout << summary.str() << std::endl;
  RecordProperty("summary", summary.str());
  for (const std::string& fault : faults) ADD_FAILURE() << fault;
}

}  // namespace
}  // namespace voluna
