#include "slicer_module.h"

#include <voluna/version.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "filter.h"
#include "progress_estimate.h"

namespace voluna {

namespace {

struct Parameter {
  const char* tag = "";   // integer, boolean, image, string-enumeration
  const char* name = "";  // an identifier, for Slicer's own use
  std::string flag;       // the command line's long flag; empty for a positional one
  int index = -1;         // the position of a positional parameter
  const char* label = "";
  const char* description = "";
  std::string defaultValue;
  const char* channel = nullptr;
  const char* attributes = "";
  std::optional<int> minimum, maximum;
  std::vector<std::string> elements;
};

struct Group {
  const char* label;
  const char* description;
  bool advanced;
  std::vector<Parameter> parameters;
};

// The names the command line's --backend takes.
const std::pair<Backend, const char*> kBackendNames[] = {
    {Backend::Auto, "auto"}, {Backend::Cpu, "cpu"}, {Backend::CpuReference, "cpu-reference"}, {Backend::Cuda, "cuda"}};

std::string backendName(Backend backend) {
  for (const auto& [value, name] : kBackendNames) {
    if (value == backend) return name;
  }
  return {};
}

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// "--preserve-edges" -> "preserve_edges": the format takes letters, digits
// and underscores only, and Slicer puts the two dashes back when it runs us.
std::string moduleFlag(const std::string& flag) {
  std::string name = flag.substr(flag.find_first_not_of('-'));
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

void element(std::string& xml, const char* indent, const char* tag, const std::string& text) {
  xml += std::string(indent) + "<" + tag + ">" + escaped(text) + "</" + tag + ">\n";
}

void writeParameter(std::string& xml, const Parameter& p) {
  xml += std::string("    <") + p.tag + p.attributes + ">\n";
  element(xml, "      ", "name", p.name);
  if (p.flag.empty()) {
    element(xml, "      ", "index", std::to_string(p.index));
  } else {
    element(xml, "      ", "longflag", moduleFlag(p.flag));
  }
  element(xml, "      ", "description", p.description);
  element(xml, "      ", "label", p.label);
  if (!p.defaultValue.empty()) element(xml, "      ", "default", p.defaultValue);
  if (p.channel) element(xml, "      ", "channel", p.channel);
  if (p.minimum || p.maximum) {
    xml += "      <constraints>\n";
    if (p.minimum) element(xml, "        ", "minimum", std::to_string(*p.minimum));
    if (p.maximum) element(xml, "        ", "maximum", std::to_string(*p.maximum));
    element(xml, "        ", "step", "1");
    xml += "      </constraints>\n";
  }
  for (const std::string& value : p.elements) element(xml, "      ", "element", value);
  xml += std::string("    </") + p.tag + ">\n";
}

Parameter flagged(const char* tag, const char* name, const char* flag, const char* label, const char* description) {
  Parameter p;
  p.tag = tag;
  p.name = name;
  p.flag = flag;
  p.label = label;
  p.description = description;
  return p;
}

Parameter positional(int index, const char* name, const char* channel, const char* label, const char* description) {
  Parameter p = flagged("image", name, "", label, description);
  p.index = index;
  p.channel = channel;
  p.attributes = " type=\"scalar\" fileExtensions=\".nrrd\"";
  return p;
}

Parameter integer(const char* name, const char* flag, const char* label, const char* description, int value,
                  std::optional<int> minimum, std::optional<int> maximum) {
  Parameter p = flagged("integer", name, flag, label, description);
  p.defaultValue = std::to_string(value);
  p.minimum = minimum;
  p.maximum = maximum;
  return p;
}

Parameter boolean(const char* name, const char* flag, const char* label, const char* description, bool value) {
  Parameter p = flagged("boolean", name, flag, label, description);
  p.defaultValue = value ? "true" : "false";
  return p;
}

Parameter choice(const char* name, const char* flag, const char* label, const char* description, std::string value,
                 std::vector<std::string> elements) {
  Parameter p = flagged("string-enumeration", name, flag, label, description);
  p.defaultValue = std::move(value);
  p.elements = std::move(elements);
  return p;
}

std::vector<Group> moduleGroups() {
  const FilterParams params;
  const FilterOptions options;
  std::vector<std::string> backends;
  for (const auto& entry : kBackendNames) backends.push_back(entry.second);

  const Parameter input = positional(0, "inputVolume", "input", "Input volume",
                                     "The volume to smooth: one value per voxel, of any scalar type.");
  const Parameter output = positional(1, "outputVolume", "output", "Output volume",
                                      "The smoothed volume, with the input's spacing, origin and orientation.");
  // "input" is what the command line picks for every format but .raw, so
  // for the .nrrd files Slicer hands over.
  const Parameter outputType =
      choice("outputType", "--output-type", "Output type",
             "input keeps the input's type and value range; float32 keeps the value range as floats, without "
             "rounding to the input's type; uint8 gives the filter's result as bytes.",
             "input", {"input", "float32", "uint8"});

  const Parameter samples = integer("samples", "--samples", "Samples",
                                    "Samples taken on each side of a voxel when scoring a direction. More samples "
                                    "follow longer structures and take longer.",
                                    params.samples, 0, kMaxSamples);
  const Parameter steps = integer("integrationSteps", "--steps", "Integration steps",
                                  "Steps taken against and along the field of directions when averaging. More "
                                  "steps smooth more.",
                                  params.integrationSteps, 0, kMaxIntegrationSteps);
  const Parameter angle = integer("angleStep", "--angle", "Angle step (degrees)",
                                  "Angle between the searched directions, in whole degrees. A smaller step "
                                  "searches more directions and takes longer.",
                                  params.angleStep, kMinAngleStep, kMaxAngleStep);
  const Parameter preserveEdges = boolean("preserveEdges", "--preserve-edges", "Preserve edges",
                                          "Score each line against the voxel's own value, so that the filter does "
                                          "not average across edges (vessels, shells, tissue borders). Off gives "
                                          "the original filter's result byte for byte.",
                                          params.preserveEdges);

  const Parameter denoise = boolean("denoise", "--denoise", "Denoise",
                                    "Denoise instead of filtering: average each voxel with the voxels around it and "
                                    "along lines through it that a first, patch-wise pass finds alike, measured in "
                                    "millimetres, with a strength that follows the noise. Samples, steps and angle "
                                    "play no part.",
                                    params.denoise);
  Parameter noise = flagged("double", "noise", "--noise", "Noise level",
                            "The noise's standard deviation in the input's units; -1 measures it from the volume.");
  noise.defaultValue = "-1";

  const Parameter backend = choice("backend", "--backend", "Backend",
                                   "auto uses CUDA where a usable GPU exists and redoes a failed GPU run on the "
                                   "CPU; cpu is the fast CPU path, cpu-reference the plain reference path, cuda "
                                   "the GPU only.",
                                   backendName(options.backend), backends);
  const Parameter threads = integer("threads", "--threads", "CPU threads", "Threads on the CPU; 0 uses every core.",
                                    options.threads, 0, std::nullopt);
  // Hidden, and on by default: Slicer passes it, a person at a terminal does not.
  Parameter progress = boolean("moduleProgress", kModuleProgressFlag, "Progress for Slicer",
                               "Report progress on standard output in the tags Slicer reads.", true);
  progress.attributes = " hidden=\"true\"";

  return {
      {"Input and output", "The volume to smooth and where its result goes.", false, {input, output, outputType}},
      {"Structure filter",
       "How far the filter looks along a structure, and how it scores a direction.",
       false,
       {samples, steps, angle, preserveEdges}},
      {"Denoiser", "A denoiser on the same directions, instead of the structure filter.", false, {denoise, noise}},
      {"Computation", "Where the filter runs.", true, {backend, threads, progress}},
  };
}

}  // namespace

std::string slicerModuleDescription() {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<executable>\n";
  element(xml, "  ", "category", "Filtering.Denoising");
  element(xml, "  ", "title", "Voluna Structure Filter");
  element(xml, "  ", "description",
          "Smooths a volume along its own structure. For every voxel the filter finds the direction along which "
          "the volume varies least over a short line through the voxel, among a fixed set of directions, then "
          "averages the volume along the field of those directions: tubes, fibres and sheets are smoothed "
          "along their length rather than blurred across it.");
  element(xml, "  ", "version", VOLUNA_VERSION_STRING);
  element(xml, "  ", "contributor", "The Voluna developers");
  for (const Group& group : moduleGroups()) {
    xml += group.advanced ? "  <parameters advanced=\"true\">\n" : "  <parameters>\n";
    element(xml, "    ", "label", group.label);
    element(xml, "    ", "description", group.description);
    for (const Parameter& parameter : group.parameters) writeParameter(xml, parameter);
    xml += "  </parameters>\n";
  }
  xml += "</executable>\n";
  return xml;
}

SlicerProgress::SlicerProgress(std::FILE* out, const FilterParams& params)
    : out_(out), vectorFieldShare_(vectorFieldShare(params)) {
  std::fprintf(out_,
               "<filter-start>\n<filter-name>Voluna Structure Filter</filter-name>\n"
               "<filter-comment>Smoothing along the volume's own structure</filter-comment>\n</filter-start>\n");
  std::fflush(out_);
}

SlicerProgress::~SlicerProgress() {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  std::fprintf(out_,
               "<filter-end>\n<filter-name>Voluna Structure "
               "Filter</filter-name>\n<filter-time>%.3f</filter-time>\n</filter-end>\n",
               seconds);
  std::fflush(out_);
}

void SlicerProgress::operator()(Stage stage, double fraction) {
  const double overall =
      wholeRun_ ? std::clamp(fraction, 0.0, 1.0) : overallFraction(vectorFieldShare_, stage, fraction);
  // Hundredths are all a progress bar shows. Never backwards: a GPU run that
  // fails is redone on the CPU from the start.
  const int hundredths = static_cast<int>(std::floor(overall * 100.0));
  if (hundredths <= lastHundredths_) return;
  lastHundredths_ = hundredths;
  std::fprintf(out_, "<filter-progress>%.2f</filter-progress>\n", hundredths / 100.0);
  std::fflush(out_);
}

}  // namespace voluna
