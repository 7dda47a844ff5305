// Every result io writes goes through AtomicFile: a file appears whole, with
// the usual rights, or the old one stays and nothing is left beside it.
#include "atomic_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "scratch_folder.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public test_support::ScratchFolderTest {
 protected:
  void put(const std::string& name, const std::string& text) { std::ofstream(path(name), std::ios::binary) << text; }
};

TEST_F(AtomicFileTest, TheTargetChangesOnlyOnCommitAndWhole) {
  put("result.nii", "the old result");
  {
    AtomicFile file(path("result.nii"));
    ASSERT_EQ(file.error(), "");
    ASSERT_EQ(file.append("new ", 4), "");
    ASSERT_EQ(file.writeAt("!", 1, 12), "");
    ASSERT_EQ(file.writeAt("result", 6, 4), "");
    ASSERT_EQ(file.append("?", 1), "");  // after the furthest byte written
    EXPECT_EQ(slurp(path("result.nii")), "the old result");
    EXPECT_EQ(files().size(), 2u);
    ASSERT_EQ(file.commit(), "");
  }
  EXPECT_EQ(slurp(path("result.nii")), std::string("new result\0\0!?", 14));
  EXPECT_EQ(files(), std::vector<std::string>{"result.nii"});
  // mkstemps makes a private file: a result has the rights any new file gets.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat info {};
  ASSERT_EQ(::stat(path("result.nii").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST_F(AtomicFileTest, AFileNeverCommittedLeavesNothing) {
  put("result.raw", "kept");
  {
    AtomicFile file(path("result.raw"));
    file.resize(1 << 20);
    file.append("abandoned", 9);
  }
  EXPECT_EQ(slurp(path("result.raw")), "kept");
  EXPECT_EQ(files(), std::vector<std::string>{"result.raw"});
}

// Libraries that choose how to write by a name's extension write the
// temporary file by name; one that replaces it, rather than writing into it,
// still has its file made durable and committed.
TEST_F(AtomicFileTest, LibrariesWritingByNameGetTheirFileCommitted) {
  {
    AtomicFile file(path("v.nii.gz"), ".nii.gz");
    const std::string temporary = file.temporaryPath();
    EXPECT_EQ(temporary.substr(temporary.size() - 7), ".nii.gz");
    EXPECT_EQ(fs::path(temporary).parent_path(), folder_);
    std::ofstream(temporary, std::ios::binary | std::ios::trunc) << "written by name";
    ASSERT_EQ(file.commit(), "");
  }
  EXPECT_EQ(slurp(path("v.nii.gz")), "written by name");
  {
    AtomicFile file(path("v.nii.gz"), ".nii.gz");
    fs::remove(file.temporaryPath());
    std::ofstream(file.temporaryPath(), std::ios::binary) << "replaced by name";
    ASSERT_EQ(file.commit(), "");
  }
  EXPECT_EQ(slurp(path("v.nii.gz")), "replaced by name");
  EXPECT_EQ(files(), std::vector<std::string>{"v.nii.gz"});
}

TEST_F(AtomicFileTest, FailuresNameTheTargetAndChangeNothing) {
  AtomicFile missing(path("no/such/folder/r.nii"));
  EXPECT_NE(missing.error().find(path("no/such/folder/r.nii") + ": cannot be written ("), std::string::npos)
      << missing.error();
  EXPECT_EQ(missing.append("x", 1), missing.error());
  EXPECT_EQ(missing.commit(), missing.error());

  // A folder where the file should go cannot be replaced by a file.
  fs::create_directory(path("taken.nii"));
  {
    AtomicFile file(path("taken.nii"));
    file.append("x", 1);
    const std::string error = file.commit();
    EXPECT_NE(error.find("taken.nii: cannot be written"), std::string::npos) << error;
  }
  EXPECT_TRUE(fs::is_directory(path("taken.nii")));
  EXPECT_EQ(files(), std::vector<std::string>{"taken.nii"});

  EXPECT_EQ(writeFileAtomically(path("one.txt"), "whole", 5), "");
  EXPECT_EQ(slurp(path("one.txt")), "whole");
}

}  // namespace
}  // namespace voluna
