// The C++ half of the denoising quality benchmark (bench/quality/denoise_quality.py
// drives it): makes the scenes, and runs the filters that live in C++ (ITK's
// anchors and Voluna's own methods) over one scene for a list of settings.
//
//   voluna-denoise-quality scenes OUTDIR [--size N] [--mri FILE] [--seed S]
//   voluna-denoise-quality filter SCENEDIR METHOD OUTDIR SETTING...
//
// A scene folder holds noisy.raw (the noisy volume as a user's 8-bit file
// holds it: rounded and clamped to bytes, stored as float32), clean.raw
// (float32), near.raw (uint8, 1 within 2 voxels of a surface) and info.txt
// (dims, spacing, the noise sigma it was made with). METHOD is one of
// curvature, gradient, bilateral, median, default, edges, denoise; a SETTING
// is "key=value,key=value" (empty for none), and the result of the i-th
// setting goes to OUTDIR/i.raw as float32 in the scene's units (0 to 255).
#include <itkBilateralImageFilter.h>
#include <itkCurvatureAnisotropicDiffusionImageFilter.h>
#include <itkGradientAnisotropicDiffusionImageFilter.h>
#include <itkImage.h>
#include <itkImportImageFilter.h>
#include <itkMedianImageFilter.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "byte_conversion.h"
#include "denoise.h"
#include "filter.h"
#include "noise_estimate.h"
#include "quiet_stdout.h"
#include "scenes.h"
#include "value_mapping.h"
#include "volume_io.h"

namespace {

using namespace voluna;

using Image = itk::Image<float, 3>;

struct SceneFiles {
  Dims dims;
  double spacing[3] = {1, 1, 1};
  double sigma = 0;
  std::vector<float> noisy;
};

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "voluna-denoise-quality: %s\n", message.c_str());
  std::exit(1);
}

void writeFloats(const std::string& path, const std::vector<float>& values) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(values.data()),
            static_cast<std::streamsize>(values.size() * sizeof(float)));
  if (!out) fail("cannot write " + path);
}

std::vector<float> readFloats(const std::string& path, int64_t count) {
  std::vector<float> values(static_cast<size_t>(count));
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(count * sizeof(float)));
  if (!in) fail("cannot read " + path);
  return values;
}

void writeScene(const std::string& folder, const std::string& label, const Scene& scene,
                double sigma) {
  if (std::system(("mkdir -p '" + folder + "'").c_str()) != 0) fail("cannot make " + folder);
  const std::vector<uint8_t> bytes = toBytes(scene.noisy);
  writeFloats(folder + "/noisy.raw", std::vector<float>(bytes.begin(), bytes.end()));
  writeFloats(folder + "/clean.raw", scene.clean);
  std::vector<uint8_t> near(scene.clean.size());
  for (size_t i = 0; i < near.size(); ++i) near[i] = std::fabs(scene.surfaceDistance[i]) <= 2.0f;
  std::ofstream(folder + "/near.raw", std::ios::binary)
      .write(reinterpret_cast<const char*>(near.data()), static_cast<std::streamsize>(near.size()));
  std::ofstream info(folder + "/info.txt");
  info << "label " << label << "\ndims " << scene.dims.x << " " << scene.dims.y << " "
       << scene.dims.z << "\nspacing " << scene.spacing[0] << " " << scene.spacing[1] << " "
       << scene.spacing[2] << "\nsigma " << sigma << "\n";
}

SceneFiles readScene(const std::string& folder) {
  SceneFiles s;
  std::ifstream info(folder + "/info.txt");
  std::string key;
  while (info >> key) {
    if (key == "dims") info >> s.dims.x >> s.dims.y >> s.dims.z;
    else if (key == "spacing") info >> s.spacing[0] >> s.spacing[1] >> s.spacing[2];
    else if (key == "sigma") info >> s.sigma;
    else std::getline(info, key);
  }
  if (s.dims.count() <= 0) fail("no scene in " + folder);
  s.noisy = readFloats(folder + "/noisy.raw", s.dims.count());
  return s;
}

// A 64^3 block of a T1 head (folded cortex, white matter, skull, scalp) with
// Rician noise of sigma 15 on its 0 to 255 scale. Edges: gradients of at
// least 20 per millimetre in the clean block.
Scene mriScene(const std::string& path, int size, uint64_t seed) {
  const LoadResult loaded = loadVolume(path);
  if (!loaded.ok()) fail(loaded.error);
  const Volume& v = loaded.volume;
  std::vector<float> all(static_cast<size_t>(v.dims.count()));
  mapToUnit(v.data.data(), v.type, v.dims.count(), unitRangeOf(v), all.data());
  const int x0 = 100, y0 = 120, z0 = 60;
  if (v.dims.x < x0 + size || v.dims.y < y0 + size || v.dims.z < z0 + size) {
    fail(path + " is too small for a " + std::to_string(size) + "^3 block");
  }
  const Dims dims{size, size, size};
  std::vector<float> clean(static_cast<size_t>(dims.count()));
  for (int z = 0; z < size; ++z)
    for (int y = 0; y < size; ++y)
      for (int x = 0; x < size; ++x) {
        clean[static_cast<size_t>(dims.index(x, y, z))] =
            all[static_cast<size_t>(v.dims.index(x0 + x, y0 + y, z0 + z))] * 255.0f;
      }
  const double spacing[3] = {v.geometry.spacing[0], v.geometry.spacing[1], v.geometry.spacing[2]};
  return sceneFromClean(dims, spacing, std::move(clean), 15.0f, true, 20.0f, seed);
}

int makeScenes(int argc, char** argv) {
  if (argc < 3) fail("usage: scenes OUTDIR [--size N] [--mri FILE] [--seed S]");
  const std::string out = argv[2];
  int size = 64;
  uint64_t seed = 1900;
  std::string mri = "/usr/share/mricron/templates/ch2.nii.gz";
  for (int i = 3; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--size")) size = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--mri")) mri = argv[i + 1];
    else if (!std::strcmp(argv[i], "--seed")) seed = std::strtoull(argv[i + 1], nullptr, 10);
    else fail(std::string("unknown option ") + argv[i]);
  }
  if (size < 16 || size > 256) fail("the size must be 16 to 256");
  writeScene(out + "/vessels", "vessels, radius 1 to 3.5, noise 25", vessels(size, 25.0f, seed + 1), 25);
  writeScene(out + "/sheets", "crossing curved sheets, noise 25", curvedSheets(size, 25.0f, seed + 2), 25);
  writeScene(out + "/fibres", "crossing fibre bundles, noise 20", fibreBundles(size, 20.0f, seed + 3), 20);
  writeScene(out + "/anisotropic", "vessels on 1 x 1 x 2.5 mm, noise 25",
             anisotropicVessels(size, 25.0f, seed + 4), 25);
  if (!mri.empty()) {
    writeScene(out + "/mri", "T1 MRI, Rician noise 15", mriScene(mri, std::min(size, 64), seed + 5), 15);
  }
  return 0;
}

std::map<std::string, double> parseSetting(const std::string& text) {
  std::map<std::string, double> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos) fail("a setting is key=value: " + item);
    values[item.substr(0, eq)] = std::atof(item.c_str() + eq + 1);
  }
  return values;
}

double get(const std::map<std::string, double>& s, const char* key, double fallback) {
  const auto it = s.find(key);
  return it == s.end() ? fallback : it->second;
}

Image::Pointer toItk(const SceneFiles& scene) {
  Image::Pointer image = Image::New();
  Image::RegionType region;
  region.SetSize({static_cast<itk::SizeValueType>(scene.dims.x),
                  static_cast<itk::SizeValueType>(scene.dims.y),
                  static_cast<itk::SizeValueType>(scene.dims.z)});
  image->SetRegions(region);
  image->SetSpacing(scene.spacing);
  image->Allocate();
  std::copy(scene.noisy.begin(), scene.noisy.end(), image->GetBufferPointer());
  return image;
}

std::vector<float> fromItk(Image* image) {
  const float* data = image->GetBufferPointer();
  return {data, data + image->GetLargestPossibleRegion().GetNumberOfPixels()};
}

template <class Diffusion>
std::vector<float> diffusion(const SceneFiles& scene, const std::map<std::string, double>& s) {
  auto filter = Diffusion::New();
  filter->SetInput(toItk(scene));
  filter->SetNumberOfIterations(static_cast<unsigned>(get(s, "iterations", 10)));
  filter->SetConductanceParameter(get(s, "conductance", 1.0));
  // The stable step for 3D, in the units of the smallest spacing.
  filter->SetTimeStep(get(s, "timestep", 0.0625));
  filter->SetUseImageSpacing(true);
  filter->Update();
  return fromItk(filter->GetOutput());
}

std::vector<float> bilateral(const SceneFiles& scene, const std::map<std::string, double>& s) {
  auto filter = itk::BilateralImageFilter<Image, Image>::New();
  filter->SetInput(toItk(scene));
  filter->SetDomainSigma(get(s, "domain", 1.0));
  filter->SetRangeSigma(get(s, "range", scene.sigma));
  filter->Update();
  return fromItk(filter->GetOutput());
}

std::vector<float> median(const SceneFiles& scene) {
  auto filter = itk::MedianImageFilter<Image, Image>::New();
  filter->SetInput(toItk(scene));
  filter->SetRadius(1);
  filter->Update();
  return fromItk(filter->GetOutput());
}

// Voluna's methods as a user runs them on an 8-bit volume: byte / 255 in,
// floats out, read here at full precision (times 255).
std::vector<float> voluna(const SceneFiles& scene, const std::string& method,
                          const std::map<std::string, double>& s) {
  std::vector<uint8_t> bytes(scene.noisy.size());
  std::transform(scene.noisy.begin(), scene.noisy.end(), bytes.begin(),
                 [](float v) { return static_cast<uint8_t>(v); });
  const std::vector<float> unit = bytesToUnitFloats(bytes.data(), scene.dims.count());
  std::vector<float> out(unit.size());
  FilterOutcome outcome;
  if (method == "denoise") {
    DenoiseParams params;
    params.spacing = {static_cast<float>(scene.spacing[0]), static_cast<float>(scene.spacing[1]),
                      static_cast<float>(scene.spacing[2])};
    const NoiseEstimate estimate = estimateNoise(unit.data(), scene.dims);
    if (!estimate.ok()) fail(estimate.problem);
    // The estimate is taken on the unit scale, as a run takes it; the scene
    // states its own noise on the 0 to 255 scale.
    takeEstimate(estimate, params);
    if (s.count("noise")) params.noise = unitNoise(get(s, "noise", 0), 0, 255);
    if (s.count("rician")) params.rician = get(s, "rician", 0) != 0;
    params.searchRadius = static_cast<float>(get(s, "search", params.searchRadius));
    params.pilotStrength = static_cast<float>(get(s, "pilot", params.pilotStrength));
    params.averageRadius = static_cast<float>(get(s, "average", params.averageRadius));
    params.finalStrength = static_cast<float>(get(s, "final", params.finalStrength));
    params.lineAngleStep = static_cast<int>(get(s, "angle", params.lineAngleStep));
    params.lineSamples = static_cast<int>(get(s, "samples", params.lineSamples));
    params.lineStep = static_cast<float>(get(s, "step", params.lineStep));
    std::fprintf(stderr, "noise estimate %.2f%s (made with %.0f)\n", inputNoise(estimate.sigma, 0, 255),
                 estimate.rician ? ", Rician" : "", scene.sigma);
    FilterOptions options;
    if (s.count("reference")) options.backend = Backend::CpuReference;
    outcome = runDenoise(unit.data(), scene.dims, params, out.data(), options);
  } else {
    FilterParams params;
    params.samples = static_cast<int>(get(s, "samples", params.samples));
    params.integrationSteps = static_cast<int>(get(s, "steps", params.integrationSteps));
    params.preserveEdges = method == "edges";
    QuietStdout quiet;
    outcome = runFilter(unit.data(), scene.dims, params, out.data());
  }
  if (!outcome.ok()) fail(method + " failed: " + outcome.message);
  for (float& v : out) v *= 255.0f;
  return out;
}

int filterScene(int argc, char** argv) {
  if (argc < 5) fail("usage: filter SCENEDIR METHOD OUTDIR SETTING...");
  const SceneFiles scene = readScene(argv[2]);
  const std::string method = argv[3], out = argv[4];
  if (std::system(("mkdir -p '" + out + "'").c_str()) != 0) fail("cannot make " + out);
  std::vector<std::string> settings(argv + 5, argv + argc);
  if (settings.empty()) settings.push_back("");
  for (size_t i = 0; i < settings.size(); ++i) {
    const auto s = parseSetting(settings[i]);
    std::vector<float> result;
    if (method == "curvature") {
      result = diffusion<itk::CurvatureAnisotropicDiffusionImageFilter<Image, Image>>(scene, s);
    } else if (method == "gradient") {
      result = diffusion<itk::GradientAnisotropicDiffusionImageFilter<Image, Image>>(scene, s);
    } else if (method == "bilateral") {
      result = bilateral(scene, s);
    } else if (method == "median") {
      result = median(scene);
    } else if (method == "default" || method == "edges" || method == "denoise") {
      result = voluna(scene, method, s);
    } else {
      fail("unknown method " + method);
    }
    writeFloats(out + "/" + std::to_string(i) + ".raw", result);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && !std::strcmp(argv[1], "scenes")) return makeScenes(argc, argv);
  if (argc >= 2 && !std::strcmp(argv[1], "filter")) return filterScene(argc, argv);
  std::fprintf(stderr,
               "usage: voluna-denoise-quality scenes OUTDIR [--size N] [--mri FILE] [--seed S]\n"
               "       voluna-denoise-quality filter SCENEDIR METHOD OUTDIR SETTING...\n");
  return 2;
}
