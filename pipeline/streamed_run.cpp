#include "streamed_run.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "value_mapping.h"

namespace voluna {

namespace {

// Rounded up, in KiB below a MiB: "64 KiB" is not "1 MiB" beside "1 MiB".
std::string sizeText(int64_t bytes) {
  if (bytes < (int64_t{1} << 20)) return std::to_string((bytes + 1023) >> 10) + " KiB";
  return std::to_string((bytes + (int64_t{1} << 20) - 1) >> 20) + " MiB";
}

}  // namespace

int64_t wholeRunBytes(int64_t voxels, int elementBytes, Backend backend) {
  if (backend == Backend::Auto) backend = cudaUsable() ? Backend::Cuda : Backend::Cpu;
  // Loaded voxels as stored and as bytes, input floats, result floats,
  // result bytes: elementBytes + 10. The fast CPU path adds a padded copy
  // (4) and direction indices (2); the plain path a float4 field (16); the
  // CUDA path its managed field (16) and result (4).
  int64_t perVoxel = elementBytes + 10;
  switch (backend) {
    case Backend::CpuReference: perVoxel += 16; break;
    case Backend::Cuda: perVoxel += 20; break;
    default: perVoxel += 6; break;
  }
  return voxels * perVoxel;
}

int64_t parseMemorySize(const std::string& text) {
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 15) return -1;
  int64_t value = std::stoll(text.substr(0, digits));
  std::string suffix = text.substr(digits);
  for (char& c : suffix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  int shift = 0;
  if (!suffix.empty()) {
    const std::string units = "KMGT";
    const size_t unit = units.find(suffix[0]);
    if (unit == std::string::npos) {
      if (suffix != "B") return -1;
    } else {
      shift = 10 * static_cast<int>(unit + 1);
      const std::string rest = suffix.substr(1);
      if (!rest.empty() && rest != "B" && rest != "IB") return -1;
    }
  }
  if (value == 0 || value > (int64_t{1} << (62 - shift))) return -1;
  return value << shift;
}

int64_t defaultMemoryBudget() {
  const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return int64_t{4} << 30;
  return static_cast<int64_t>(pages) * pageSize / 2;
}

RunChoice chooseRun(const std::string& input, const FilterParams& params, Backend backend,
                    int64_t memoryBytes, ResultType resultType) {
  RunChoice choice;
  if (!streamable(input)) return choice;
  choice.source = inspectVolume(input);
  const StreamSource& source = choice.source;
  const int64_t voxels = source.dims.count();
  if (!source.ok()) {
    // Broken files of a size a whole run takes are reported by the whole path.
    if (voxels > kMaxVoxels) {
      choice.error = source.error;
    } else if (source.wholeOnly) {
      // Sound, but only a whole load reads it: that must fit the budget.
      const int64_t whole = wholeRunBytes(voxels, 4, backend);
      if (whole > memoryBytes) {
        choice.error = source.error + "; filtered whole it needs about " + sizeText(whole) +
                       ", more than --memory allows (" + sizeText(memoryBytes) +
                       "): raise --memory, or store the values unscaled";
      }
    }
    return choice;
  }
  const int valueBytes = static_cast<int>(scalarSize(source.valueType()));
  const int64_t whole = wholeRunBytes(voxels, valueBytes, backend);
  // A GPU run holds about 40 bytes a voxel on the device: the volume and
  // field arrays, the managed field and result. Bricks for the GPU are sized
  // so that their input boxes (counted at 4 bytes a voxel on the host) fit it.
  int64_t budget = memoryBytes, device = 0;
  if (backend == Backend::Cuda || (backend == Backend::Auto && cudaUsable())) {
    device = cudaFreeBytes() / 10 * 9;
    if (device > 0) budget = std::min(budget, device / 10);
  }
  const bool deviceShort = device > 0 && voxels > device / 40;
  if (voxels <= kMaxVoxels && whole <= memoryBytes && !deviceShort) return choice;

  const std::string why =
      input + ": its " + std::to_string(source.dims.x) + " x " + std::to_string(source.dims.y) +
      " x " + std::to_string(source.dims.z) + " voxels " +
      (voxels > kMaxVoxels ? std::string("are more than a whole run can hold (2^31 - 1)")
       : whole > memoryBytes ? "need about " + sizeText(whole) + " whole, more than --memory allows (" +
                                   sizeText(memoryBytes) + ")"
                             : "need more than the GPU's free memory (" + sizeText(device) + ")");
  choice.reason = why;
  if (source.compressed) {
    choice.error = why + ", and compressed voxels cannot be read a part at a time: " + source.uncompress;
    return choice;
  }
  // The file's plane buffers: stored values, and scaled ones beside them.
  StreamCosts costs;
  costs.inputBytes = static_cast<int>(scalarSize(source.stored)) + (source.scaling.scaled ? valueBytes : 0);
  // Integers that a first pass finds whole take no more than their floats.
  costs.outputBytes = resultType == ResultType::UInt8 ? 1 : resultType == ResultType::Float32 ? 4 : valueBytes;
  choice.plan = planBricks(source.dims, params, budget, costs);
  if (!choice.plan.ok()) {
    choice.error = why + "; in bricks, " + choice.plan.error + ": raise --memory";
    return choice;
  }
  choice.streamed = true;
  const BrickPlan& plan = choice.plan;
  choice.note = why + ": filtering it from disk in " + std::to_string(plan.count()) + " bricks of " +
                std::to_string(plan.brick.x) + " x " + std::to_string(plan.brick.y) + " x " +
                std::to_string(plan.brick.z) + " (about " + sizeText(plan.peakBytes) + " each)";
  return choice;
}

void BrickProgress::scanning(double fraction) const {
  if (show_) show_(Stage::Integration, kScanShare * fraction);
}

void BrickProgress::operator()(Stage stage, double fraction) const {
  if (!show_ || total_ <= 0) return;
  const double withinBrick = stage == Stage::VectorField ? 0.5 * fraction : 0.5 + 0.5 * fraction;
  const double done = static_cast<double>(before_) + withinBrick * static_cast<double>(voxels_);
  // The last brick's end is the run's end: the caller finishes the display.
  show_(Stage::Integration,
        std::min(scanShare_ + (1.0 - scanShare_) * done / static_cast<double>(total_), 0.999));
}

StreamOutcome runStreamed(const RunChoice& choice, const std::string& output, ResultType resultType,
                          const FilterParams& params, const RunControl* control, BrickProgress& progress,
                          const BrickFilter& filterBrick, const std::function<void(const ValueScan&)>& scanned,
                          const std::function<void(const NoiseEstimate&)>& measured) {
  using Status = StreamOutcome::Status;
  const Extent whole = choice.source.dims;
  const BrickPlan& plan = choice.plan;
  BoxReader reader(choice.source);
  if (!reader.error().empty()) return {Status::Failed, reader.error()};
  auto cancelled = [&] { return control && control->cancelled(); };

  std::printf("Calculate vectorfield...\nFiltering data...\n");
  std::fflush(stdout);
  // Before any output exists: a run stopped here leaves nothing behind.
  const bool needsScan = choice.source.valueType() != ScalarType::UInt8;
  const ValueScan scan = reader.scan([&](double fraction) {
    if (needsScan) progress.scanning(fraction);
    return !cancelled();
  });
  if (scan.stopped) return {Status::Cancelled, {}};
  if (!scan.error.empty()) return {Status::Failed, scan.error};
  if (scanned) scanned(scan);
  if (params.denoise) {
    // Slabs of whole slices with two of context either side, each about a
    // brick's budget: the estimate every brick shares.
    NoiseEstimator estimator(whole.x, whole.y, whole.z);
    const int64_t slice = whole.x * whole.y * static_cast<int64_t>(sizeof(float));
    const int64_t depth = std::clamp<int64_t>(plan.peakBytes / std::max<int64_t>(slice, 1) - 4, 1, 64);
    std::vector<float> slab;
    for (int64_t z = 0; z < whole.z; z += depth) {
      if (cancelled()) return {Status::Cancelled, {}};
      const int64_t z0 = std::max<int64_t>(0, z - 2), z1 = std::min(whole.z, z + depth + 2);
      const Box box{0, 0, z0, whole.x, whole.y, z1};
      slab.resize(static_cast<size_t>(box.count()));
      const std::string problem = reader.read(box, scan.range, slab.data());
      if (!problem.empty()) return {Status::Failed, problem};
      estimator.add(slab.data(), z0, z1 - z0, z, std::min(whole.z, z + depth));
    }
    if (measured) measured(estimator.finish());
  }
  const ScalarType outputType = resultType == ResultType::UInt8   ? ScalarType::UInt8
                                : resultType == ResultType::Float32 ? ScalarType::Float32
                                                                    : scan.type;
  StreamedResult result(output, whole, outputType, choice.source.geometry);
  if (!result.error().empty()) return {Status::Failed, result.error()};

  progress.start(whole.count(), needsScan);
  // Reserved once for the largest brick: growing a vector from one brick to
  // the next would hold the old and the new buffer at once.
  const Extent b = plan.brick;
  const int64_t reach = filterReach(params);
  const size_t outputBytes = scalarSize(outputType);
  std::vector<float> input, filtered;
  std::vector<uint8_t> plane;
  input.reserve(static_cast<size_t>(std::min(b.x + 2 * reach, whole.x) * std::min(b.y + 2 * reach, whole.y) *
                                    std::min(b.z + 2 * reach, whole.z)));
  filtered.reserve(static_cast<size_t>(b.count()));
  plane.reserve(static_cast<size_t>(b.x * b.y) * outputBytes);
  int64_t done = 0;
  for (int64_t index = 0; index < plan.count(); ++index) {
    if (cancelled()) return {Status::Cancelled, {}};
    const Box interior = plan.interior(index);
    const Box halo = haloBox(interior, whole, params);
    input.resize(static_cast<size_t>(halo.count()));
    filtered.resize(static_cast<size_t>(interior.count()));
    std::string problem = reader.read(halo, scan.range, input.data());
    if (!problem.empty()) return {Status::Failed, problem};
    progress.brick(done, interior.count());
    const FilterOutcome outcome = filterBrick(input.data(), halo, interior, filtered.data());
    if (outcome.status == FilterOutcome::Status::Cancelled) return {Status::Cancelled, {}};
    if (!outcome.ok()) return {Status::Failed, outcome.message, outcome.status};
    // One plane of the result at a time: the budget counts one.
    const int64_t planeVoxels = interior.width() * interior.height();
    plane.resize(static_cast<size_t>(planeVoxels) * outputBytes);
    for (int64_t z = interior.z0; z < interior.z1; ++z) {
      mapFromUnit(filtered.data() + (z - interior.z0) * planeVoxels, planeVoxels, scan.range, outputType,
                  plane.data());
      Box slice = interior;
      slice.z0 = z;
      slice.z1 = z + 1;
      problem = result.write(slice, plane.data());
      if (!problem.empty()) return {Status::Failed, problem};
    }
    done += interior.count();
  }
  if (cancelled()) return {Status::Cancelled, {}};
  const std::string problem = result.commit();
  if (!problem.empty()) return {Status::Failed, problem};
  return {};
}

}  // namespace voluna
