// Loading what users bring: broken and hostile files are refused with one
// message, unusual but sound ones load, 8-bit ones exactly as they always did.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "byte_conversion.h"
#include "filter.h"
#include "metaimage_header.h"
#include "value_mapping.h"
#include "scratch_folder.h"
#include "volume_io.h"

namespace voluna {
namespace {

namespace fs = std::filesystem;

const fs::path kHostile = fs::path(VOLUNA_TEST_DATA) / "hostile";
const fs::path kValid = fs::path(VOLUNA_TEST_DATA) / "valid";

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// ---------------------------------------------------------------------------
// The hostile corpus: every file refused, with its own reason.

struct Refusal {
  const char* file;
  std::vector<const char*> fragments;
};

std::ostream& operator<<(std::ostream& out, const Refusal& r) { return out << r.file; }

class HostileFile : public ::testing::TestWithParam<Refusal> {};

TEST_P(HostileFile, IsRefusedWithAMessageNamingFileAndReason) {
  const std::string path = (kHostile / GetParam().file).string();
  const auto start = std::chrono::steady_clock::now();
  const LoadResult loaded = loadVolume(path);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  ASSERT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error.rfind(path + ": ", 0), 0u) << loaded.error;
  for (const char* fragment : GetParam().fragments) {
    EXPECT_NE(loaded.error.find(fragment), std::string::npos) << "missing '" << fragment << "' in: " << loaded.error;
  }
  EXPECT_EQ(loaded.error.find('\n'), std::string::npos) << "one line: " << loaded.error;
  EXPECT_TRUE(loaded.volume.data.empty());
  EXPECT_EQ(loaded.volume.dims.count(), 0);
  EXPECT_TRUE(loaded.notice.empty());
  EXPECT_LT(seconds, 2.0);
}

const std::vector<Refusal> kRefusals = {
    {"empty.mha", {"is empty"}},
    {"binary_garbage.mha", {"not a MetaImage header"}},
    {"folder.mha", {"is a folder"}},
    {"no_datafile_line.mha", {"no ElementDataFile line"}},
    {"ndims4.mha", {"NDims = 4"}},
    {"ndims1.mha", {"NDims = 1"}},
    {"ndims_missing.mha", {"DimSize needs an NDims line before it"}},
    {"ndims_fraction.mha", {"line 2", "'2.5' is not a whole number"}},
    {"dimsize_missing.mha", {"no DimSize line"}},
    {"dimsize_zero.mha", {"DimSize 2 x 0 x 2", "at least 1"}},
    {"dimsize_negative.mha", {"DimSize 2 x -3 x 2", "at least 1"}},
    {"dimsize_enormous.mha", {"100000 x 100000 x 100000", "2^31 - 1 voxels"}},
    {"dimsize_beyond_int.mha", {"far too large"}},
    {"dimsize_2_31_voxels.mha", {"2048 x 1024 x 1024", "2^31 - 1 voxels"}},
    {"dimsize_too_few.mha", {"DimSize has 2 values; 3 expected"}},
    {"dimsize_too_many.mha", {"DimSize has 4 values; 3 expected"}},
    {"dimsize_not_a_number.mha", {"'two' is not a whole number"}},
    {"dimsize_before_ndims.mha", {"DimSize needs an NDims line before it"}},
    {"dimsize_twice.mha", {"line 6", "DimSize appears a second time (first on line 5)"}},
    {"elementtype_unknown.mha", {"unsupported element type 'MET_BANANA'", "MET_UCHAR"}},
    {"elementtype_missing.mha", {"no ElementType line"}},
    {"elementtype_long.mha", {"MET_LONG", "misreads", "save the volume as MET_INT"}},
    {"elementtype_long_long.mha", {"unsupported element type 'MET_LONG_LONG'"}},
    {"elementtype_float_array.mha", {"unsupported element type 'MET_FLOAT_ARRAY'"}},
    {"channels3.mha", {"3 channels per voxel"}},
    {"text_voxels.mha", {"as text (BinaryData = False)"}},
    {"local_cut_short.mha", {"the data after the header is too short by 14 bytes"}},
    {"local_headersize.mha", {"HeaderSize", "LOCAL"}},
    {"spacing_too_few.mha", {"ElementSpacing has 2 values; 3 expected"}},
    {"spacing_not_finite.mha", {"'1e999' is not a finite decimal number"}},
    {"nul_in_header.mha", {"line 2", "NUL byte"}},
    {"line_of_a_megabyte.mha", {"line 5", "longer than 64 KiB"}},
    {"long_value.mha", {"'Comment' is 300 characters long"}},
    {"long_key.mha", {"key is 300 characters long"}},
    {"not_key_value.mha", {"line 5", "is not of the form 'Key = value'"}},
    {"local_misspelt.mha", {"its data file", "lOCAL is missing"}},
    {"boolean_unclear.mha", {"BinaryDataByteOrderMSB is 'maybe'; write True or False"}},
    {"datafile_missing.mhd", {"data file", "nowhere.raw is missing"}},
    {"datafile_short.mhd", {"datafile_short.raw is too short by 10 bytes", "need 100, it has 90"}},
    {"datafile_folder.mhd", {"a_folder is a folder"}},
    {"datafile_device.mhd", {"/dev/zero is not a regular file"}},
    {"datafile_list.mhd", {"list of files"}},
    {"datafile_pattern.mhd", {"numbered files"}},
    {"headersize_negative.mhd", {"HeaderSize is -5"}},
    {"headersize_beyond.mhd", {"after its 88 header bytes", "too short by 6 bytes"}},
    {"compressed_corrupt.mha", {"corrupt compressed data"}},
    {"compressed_not_zlib.mha", {"corrupt compressed data"}},
    {"compressed_truncated.mha", {"breaks off after", "the voxels need 1024"}},
    {"compressed_too_little.mha", {"ends after 100 bytes", "the voxels need 1024"}},
    {"compressed_size_enormous.mha", {"CompressedDataSize = 1000000000000000", "only 286 bytes"}},
    {"compressed_size_missing.mha", {"no CompressedDataSize line"}},
};

INSTANTIATE_TEST_SUITE_P(Corpus, HostileFile, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal>& info) {
                           std::string name = info.param.file;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

TEST(HostileCorpus, EveryFileInItIsCovered) {
  size_t headers = 0;
  for (const auto& entry : fs::directory_iterator(kHostile)) {
    const std::string name = entry.path().filename().string();
    const std::string extension = entry.path().extension().string();
    if (extension != ".mha" && extension != ".mhd") continue;
    ++headers;
    const bool listed = std::any_of(kRefusals.begin(), kRefusals.end(),
                                    [&](const Refusal& r) { return name == r.file; });
    EXPECT_TRUE(listed) << name << " is in the corpus but no test expects its refusal";
  }
  EXPECT_EQ(headers, kRefusals.size());
}

// Not-regular files cannot live in the repository.
TEST(HostileCorpus, DevicesPipesAndLoopsAreRefusedWithoutBlocking) {
  const LoadResult zero = loadVolume("/dev/zero");
  EXPECT_NE(zero.error.find("/dev/zero: is not a regular file"), std::string::npos) << zero.error;

  const fs::path fifo = fs::temp_directory_path() / ("voluna-fifo-" + std::to_string(::getpid()) + ".raw");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path header = fs::temp_directory_path() / ("voluna-fifo-" + std::to_string(::getpid()) + ".mhd");
  std::ofstream(header) << "NDims = 3\nDimSize = 2 2 2\nElementType = MET_UCHAR\nElementDataFile = "
                        << fifo.filename().string() << "\n";
  const LoadResult piped = loadVolume(header.string());
  EXPECT_NE(piped.error.find("is not a regular file"), std::string::npos) << piped.error;
  fs::remove(fifo);

  const fs::path loop = fs::temp_directory_path() / ("voluna-loop-" + std::to_string(::getpid()) + ".mha");
  fs::create_symlink(loop, loop);
  const LoadResult looped = loadVolume(loop.string());
  EXPECT_NE(looped.error.find("cannot be opened (Too many levels of symbolic links)"), std::string::npos)
      << looped.error;
  fs::remove(loop);
  fs::create_symlink(header.string() + ".raw", header.string() + ".raw");
  std::ofstream(header) << "NDims = 3\nDimSize = 2 2 2\nElementType = MET_UCHAR\nElementDataFile = "
                        << header.filename().string() << ".raw\n";
  const LoadResult loopedData = loadVolume(header.string());
  EXPECT_NE(loopedData.error.find(".raw cannot be opened (Too many levels"), std::string::npos) << loopedData.error;
  fs::remove(header.string() + ".raw");
  fs::remove(header);
}

// ---------------------------------------------------------------------------
// Sound but unusual files: loaded in their own type. The bytes the views show
// are worked out by hand from the rule round((v - min) * 255 / (max - min)).

struct Expected {
  const char* file;
  Dims dims;
  std::vector<uint8_t> voxels;  // as the views show them
  ScalarType type;
};

std::ostream& operator<<(std::ostream& out, const Expected& e) { return out << e.file; }

std::vector<uint8_t> repeat(const std::vector<uint8_t>& unit, int times) {
  std::vector<uint8_t> out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
  return out;
}

std::vector<uint8_t> sequence(int first, int count) {
  std::vector<uint8_t> out;
  for (int i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(first + i));
  return out;
}

std::vector<uint8_t> reconBytes() {
  // -0.5, 0, 0.25, 1.5 over [-0.5, 1.5]: 0, 63.75, 95.625, 255.
  std::vector<uint8_t> out = repeat({0, 64, 96, 255}, 6);
  out[5] = 0;    // NaN
  out[6] = 255;  // +inf
  out[7] = 0;    // -inf
  return out;
}

std::vector<uint8_t> tailBytes() {
  std::vector<uint8_t> out = sequence(8, 16);
  for (char c : std::string("TRAILER!")) out.push_back(static_cast<uint8_t>(c));
  return out;
}

// -1024, 0, 1000, 3071 over [-1024, 3071]: 0, 63.77, 126.04, 255.
const std::vector<uint8_t> kCtBytes = repeat({0, 64, 126, 255}, 15);

class ValidFile : public ::testing::TestWithParam<Expected> {};

TEST_P(ValidFile, LoadsAsTheseBytes) {
  const Expected& e = GetParam();
  const LoadResult loaded = loadVolume((kValid / e.file).string());
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  EXPECT_EQ(loaded.volume.dims.x, e.dims.x);
  EXPECT_EQ(loaded.volume.dims.y, e.dims.y);
  EXPECT_EQ(loaded.volume.dims.z, e.dims.z);
  EXPECT_EQ(loaded.volume.type, e.type);
  EXPECT_EQ(displayBytes(loaded.volume, unitRangeOf(loaded.volume)), e.voxels);
  EXPECT_EQ(loaded.notice, "");
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, ValidFile,
    ::testing::Values(
        Expected{"s16_ct.mha", {5, 4, 3}, kCtBytes, ScalarType::Int16},
        Expected{"s16_ct_msb.mha", {5, 4, 3}, kCtBytes, ScalarType::Int16},
        Expected{"s16_ct_gzip.mhd", {5, 4, 3}, kCtBytes, ScalarType::Int16},
        Expected{"f32_recon.mhd", {4, 3, 2}, reconBytes(), ScalarType::Float32},
        Expected{"u8_slice.mha", {5, 4, 1}, sequence(10, 20), ScalarType::UInt8},
        Expected{"u8_single_voxel.mha", {1, 1, 1}, {200}, ScalarType::UInt8},
        Expected{"s16_single_voxel.mha", {1, 1, 1}, {0}, ScalarType::Int16},
        Expected{"u8_skip.mhd", {4, 3, 2}, sequence(0, 24), ScalarType::UInt8},
        Expected{"u8_tail.mhd", {4, 3, 2}, tailBytes(), ScalarType::UInt8}),
    [](const ::testing::TestParamInfo<Expected>& info) {
      std::string name = info.param.file;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(EightBitFiles, LoadByteForByteWithSpacingAndNoNotice) {
  const std::vector<uint8_t> raw = bytesOf(slurp(kValid / "u8_pattern.raw"));
  for (const char* file : {"u8_pattern.mhd", "u8_pattern_zlib.mha"}) {
    const LoadResult loaded = loadVolume((kValid / file).string());
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_EQ(loaded.volume.data, raw) << file;
    EXPECT_EQ(loaded.notice, "") << file;
    EXPECT_EQ(loaded.volume.dims.count(), 12 * 10 * 8);
  }
  const LoadResult loaded = loadVolume((kValid / "u8_pattern.mhd").string());
  EXPECT_DOUBLE_EQ(loaded.volume.geometry.spacing[0], 0.5);
  EXPECT_DOUBLE_EQ(loaded.volume.geometry.spacing[2], 2.0);
}

TEST(EightBitFiles, FilterToTheBytesTheyGaveBefore) {
  const LoadResult loaded = loadVolume((kValid / "u8_pattern.mhd").string());
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  const Dims dims = loaded.volume.dims;
  const std::vector<float> input = bytesToUnitFloats(loaded.volume.data.data(), dims.count());
  std::vector<float> output(static_cast<size_t>(dims.count()));
  FilterParams params;
  params.samples = 3;
  params.integrationSteps = 3;
  params.angleStep = 20;
  FilterOptions options;
  options.backend = Backend::CpuReference;
  ASSERT_TRUE(runFilter(input.data(), dims, params, output.data(), options).ok());
  EXPECT_EQ(unitFloatsToBytes(output.data(), dims.count()), bytesOf(slurp(kValid / "u8_pattern_filtered.raw")));
}

// ---------------------------------------------------------------------------
// Every scalar type, at the ends of its range: loaded as it is, and shown
// with values at 0, 1/5, ..., 5/5 of [low, high] as 0, 51, 102, 153, 204, 255.

class ScalarTypes : public voluna::test_support::ScratchFolderTest {
 protected:
  template <typename T>
  LoadResult loadFifths(const char* type, T low, T high) {
    std::vector<T> values;
    for (int k = 0; k <= 5; ++k) {
      values.push_back(static_cast<T>(static_cast<long double>(low) +
                                      (static_cast<long double>(high) - static_cast<long double>(low)) * k / 5));
    }
    values.push_back(high);
    values.push_back(low);
    const fs::path file = folder_ / (std::string(type) + ".mha");
    std::ofstream out(file, std::ios::binary);
    out << "NDims = 3\nDimSize = 2 2 2\nElementType = " << type << "\nElementDataFile = LOCAL\n";
    out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(T)));
    out.close();
    return loadVolume(file.string());
  }

};

TEST_F(ScalarTypes, LoadInTheirOwnTypeAndShowTheirRangeAsBytes) {
  const std::vector<uint8_t> fifths = {0, 51, 102, 153, 204, 255, 255, 0};
  struct Case {
    ScalarType type;
    LoadResult loaded;
    double low, high;
  };
  const Case cases[] = {
      {ScalarType::Int8, loadFifths<int8_t>("MET_CHAR", -128, 127), -128, 127},
      {ScalarType::Int16, loadFifths<int16_t>("MET_SHORT", -1000, 1500), -1000, 1500},
      {ScalarType::UInt16, loadFifths<uint16_t>("MET_USHORT", 0, 65535), 0, 65535},
      {ScalarType::Int32, loadFifths<int32_t>("MET_INT", std::numeric_limits<int32_t>::min(), 2147483647),
       -2147483648.0, 2147483647},
      {ScalarType::UInt32, loadFifths<uint32_t>("MET_UINT", 0, 4294967295u), 0, 4294967295.0},
      {ScalarType::Float32, loadFifths<float>("MET_FLOAT", -2.5f, 2.5f), -2.5, 2.5},
      {ScalarType::Float64, loadFifths<double>("MET_DOUBLE", -1e300, 1.5e300), -1e300, 1.5e300},
      // Wider than the largest double: the width itself overflows.
      {ScalarType::Float64, loadFifths<double>("MET_DOUBLE", -1.5e308, 1.5e308), -1.5e308, 1.5e308},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(c.loaded.ok()) << scalarName(c.type) << ": " << c.loaded.error;
    EXPECT_EQ(c.loaded.volume.type, c.type);
    EXPECT_EQ(c.loaded.volume.data.size(), 8 * scalarSize(c.type));
    const ValueRange range = unitRangeOf(c.loaded.volume);
    EXPECT_EQ(range.min, c.low) << scalarName(c.type);
    EXPECT_EQ(range.max, c.high) << scalarName(c.type);
    EXPECT_EQ(displayBytes(c.loaded.volume, range), fifths) << scalarName(c.type);
  }
}

TEST_F(ScalarTypes, AConstantVolumeShowsAsZeroAndAllNaNToo) {
  const LoadResult constant = loadFifths<float>("MET_FLOAT", 7.25f, 7.25f);
  ASSERT_TRUE(constant.ok()) << constant.error;
  EXPECT_EQ(displayBytes(constant.volume, unitRangeOf(constant.volume)), std::vector<uint8_t>(8, 0));

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const LoadResult allNaN = loadFifths<float>("MET_FLOAT", nan, nan);
  ASSERT_TRUE(allNaN.ok()) << allNaN.error;
  EXPECT_EQ(displayBytes(allNaN.volume, unitRangeOf(allNaN.volume)), std::vector<uint8_t>(8, 0));
}

// ---------------------------------------------------------------------------
// Header syntax that MetaIO reads as we do, and where LOCAL data starts.

TEST(HeaderSyntax, AcceptsTheSpellingsMetaIoReadsTheSameWay) {
  const std::string variants[] = {
      "NDims = 3\nDimSize = 4 3 2\nElementType = MET_SHORT\nElementDataFile = LOCAL\n",
      "NDims=3\nDimSize=4 3 2\nElementType=MET_SHORT\nElementDataFile=LOCAL\n",
      "NDims: 3\nDimSize: 4 3 2\nElementType: MET_SHORT\nElementDataFile: LOCAL\n",
      "NDims = 3\r\nDimSize = 4 3 2\r\nElementType = MET_SHORT\r\nElementDataFile = LOCAL\r\n",
      "  NDims\t=\t3  \n\nDimSize = 4\t3 2\nVendorTag = a b = c\nElementType = MET_SHORT\nElementDataFile = local\n",
  };
  for (const std::string& text : variants) {
    const HeaderParse parsed = parseMetaImageHeader(text + "voxels", false);
    ASSERT_TRUE(parsed.ok()) << parsed.error << " in:\n" << text;
    EXPECT_EQ(parsed.header.dims.count(), 24);
    EXPECT_EQ(parsed.header.type, ScalarType::Int16);
    EXPECT_EQ(parsed.header.voxelBytes(), 48);
    EXPECT_EQ(parsed.header.localDataStart, static_cast<int64_t>(text.size())) << text;
  }
}

TEST(HeaderSyntax, StopsAtTheDataFileLineAsMetaIoDoes) {
  // What follows the ElementDataFile line is voxel data, however it looks.
  const std::string text = "NDims = 2\nDimSize = 3 2\nElementType = MET_UCHAR\nElementDataFile = LOCAL\nDimSize\0=";
  const HeaderParse parsed = parseMetaImageHeader(text, true);
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  EXPECT_EQ(parsed.header.ndims, 2);
  EXPECT_EQ(parsed.header.dims.z, 1);
  EXPECT_EQ(parsed.header.dims.count(), 6);
}

TEST(HeaderSyntax, RefusesAHeaderThatNeverEnds) {
  const std::string endless(kMaxHeaderBytes, '\n');
  EXPECT_NE(parseMetaImageHeader(endless, false).error.find("no ElementDataFile line in its first 1024 KiB"),
            std::string::npos);
  EXPECT_NE(parseMetaImageHeader("NDims = 3\n", true).error.find("no ElementDataFile line;"), std::string::npos);
}

// ---------------------------------------------------------------------------
// A sound header whose voxels do not fit in memory: a message, not an abort.

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST(MemoryLimit, AVolumeTooLargeForMemoryIsRefusedNotAborted) {
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
  const fs::path folder = fs::temp_directory_path() / ("voluna-memory-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  // A sparse data file: 1.5 GB as the header says, on no disk space.
  std::ofstream(folder / "big.raw").close();
  fs::resize_file(folder / "big.raw", 1500000000);
  std::ofstream(folder / "big.mhd") << "NDims = 3\nDimSize = 1000 1000 1500\nElementType = MET_UCHAR\n"
                                       "ElementDataFile = big.raw\n";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{768u << 20, 768u << 20};
    ::setrlimit(RLIMIT_AS, &limit);
    const LoadResult loaded = loadVolume((folder / "big.mhd").string());
    const bool refused = !loaded.ok() && loaded.error.find("more memory than is available") != std::string::npos;
    if (!refused) std::fprintf(stderr, "got: %s\n", loaded.ok() ? "a volume" : loaded.error.c_str());
    ::_exit(refused ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  fs::remove_all(folder);
  ASSERT_TRUE(WIFEXITED(status)) << "the loading process died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace voluna
