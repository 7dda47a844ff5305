// voluna-filter: the structure-following filter from the command line.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <cmath>
#include <string>

#include "run_pipeline.h"
#include "slicer_module.h"
#include "terminal_progress.h"
#include "volume_io.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitInputOutput = 1;
constexpr int kExitUsage = 2;

// The run a SIGINT or SIGTERM cancels, and which of the two arrived. Setting
// an atomic flag is all a signal handler may safely do here.
voluna::PipelineRun* runToCancel = nullptr;
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int signal) {
  stopSignal = signal;
  if (runToCancel) runToCancel->cancel();
}

void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The shell's convention: 128 + the signal's number (130 for SIGINT, 143 for SIGTERM).
int stoppedExitCode() { return 128 + static_cast<int>(stopSignal); }

const char* const kUsage =
    "Usage: voluna-filter [OPTIONS] INPUT [OUTPUT]\n"
    "       voluna-filter --list-series PATH\n"
    "\n"
    "Smooths a volume along its own structure. For every voxel the filter finds\n"
    "the direction of least line variance among a fixed set of directions, then\n"
    "averages the volume along the field of those directions.\n"
    "\n"
    "INPUT is a volume of one value per voxel: NIfTI-1 or NIfTI-2 (.nii, .nii.gz),\n"
    "NRRD (.nrrd, or .nhdr with its data file), MetaImage (.mha, or .mhd with its\n"
    "data file), TIFF (.tif, .tiff; one page per slice; ImageJ stacks with their\n"
    "spacing and unit), any one file of a DICOM series (the whole series in its\n"
    "folder is read, ordered by position), or a DICOMDIR or a folder of DICOM\n"
    "series (the series with the most images, unless --series names another).\n"
    "2D images count as one slice. 8-bit volumes are filtered as they always\n"
    "were; other types are mapped linearly from their value range onto the\n"
    "filter's scale and back, at full precision, and a line on standard error\n"
    "says so. Broken or unsupported files are refused with a message that says\n"
    "why, before any work. OUTPUT, when given, is the result, as with -o.\n"
    "\n"
    "Options:\n"
    "  --samples N        samples on each side of a voxel when scoring a\n"
    "                     direction, 0 to 1000 (default 5)\n"
    "  --steps N          integration steps against and along the field,\n"
    "                     0 to 1000 (default 5)\n"
    "  --angle DEG        angle step of the direction set in whole degrees,\n"
    "                     1 to 180 (default 5: 2592 directions)\n"
    "  -o, --output FILE  the result (default Output.raw in the working\n"
    "                     directory); the extension picks the format: .nii,\n"
    "                     .nii.gz, .nrrd, .mha, .mhd (with its .raw beside it),\n"
    "                     .tif, or .raw: the bare voxels in x-fastest order with\n"
    "                     a MetaImage header (.mhd) beside them. Spacing, origin\n"
    "                     and orientation are written where the format holds\n"
    "                     them\n"
    "  --output-type TYPE\n"
    "                     uint8 (the result's bytes, as always), input (the\n"
    "                     input's type and value range) or float32 (the\n"
    "                     input's value range as floats); default uint8 for\n"
    "                     .raw and input for every other format\n"
    "  --backend NAME     auto (CUDA when a usable GPU exists, else CPU; a GPU\n"
    "                     run that fails is redone on the CPU), cpu,\n"
    "                     cpu-reference (the plain reference path) or cuda\n"
    "                     (a GPU failure exits 1) (default auto)\n"
    "  --threads N        CPU threads, 0 for every core (default 0)\n"
    "  --memory SIZE      memory the filter may use, in bytes or with a suffix\n"
    "                     K, M, G or T (powers of 1024), e.g. 64M or 8G\n"
    "                     (default half of the machine's memory). A volume that\n"
    "                     needs more (about 17 bytes a voxel on the CPU), or has\n"
    "                     2^31 voxels or more, is read from disk and filtered\n"
    "                     brick by brick with the same result; that takes an\n"
    "                     uncompressed MetaImage, NIfTI or NRRD volume of any\n"
    "                     type, and writes .mhd, .raw, .nii or .nrrd\n"
    "  --preserve-edges   score each line against the voxel's own value instead\n"
    "                     of each half-line's first sample, so the filter does\n"
    "                     not average across edges; use it on volumes with\n"
    "                     sharp boundaries (vessels, shells, tissue borders).\n"
    "                     Off by default: without it the result is that of the\n"
    "                     original filter, byte for byte\n"
    "  --denoise          denoise instead: average each voxel with the voxels\n"
    "                     around it and along the direction set's lines through\n"
    "                     it that a first, patch-wise pass finds alike. Its\n"
    "                     neighbourhoods are measured in millimetres from the\n"
    "                     volume's spacing, its strength follows the noise, and\n"
    "                     magnitude images (MRI) are taken back from their\n"
    "                     Rician noise to the signal. --samples, --steps and\n"
    "                     --angle play no part\n"
    "  --noise SIGMA      the noise level for --denoise, as a standard deviation\n"
    "                     in the input's own units (default: measured from the\n"
    "                     volume and printed on standard error; a negative\n"
    "                     value, as 3D Slicer passes by default, measures it)\n"
    "  --series UID       the DICOM series to read, by its Series Instance UID,\n"
    "                     when INPUT is a DICOMDIR, a folder or a file of a\n"
    "                     folder that holds several series\n"
    "  --list-series PATH print the image series of a DICOMDIR, a folder or a\n"
    "                     DICOM file's folder, one a line: Series Instance UID,\n"
    "                     modality, description, images, size (columns x rows\n"
    "                     x slices) and what is wrong with its files, separated\n"
    "                     by tabs; then exit\n"
    "  --xml              print the description 3D Slicer reads to run this program\n"
    "                     as a command-line module, and exit\n"
    "  --module-progress  report progress on standard output in the tags 3D\n"
    "                     Slicer reads (<filter-progress>), and notices there too\n"
    "                     (Slicer passes this itself)\n"
    "  -h, --help         show this help and exit\n"
    "\n"
    "Long options may also be spelt with underscores (--preserve_edges), as\n"
    "3D Slicer passes them.\n"
    "\n"
    "Standard output carries the progress lines \"Calculate vectorfield...\" and\n"
    "\"Filtering data...\". When standard error is a terminal, a progress bar\n"
    "with the time left is drawn there. Existing output files are replaced only\n"
    "once the new result is complete; Ctrl-C (SIGINT) or SIGTERM stops the run\n"
    "within a second and leaves them as they were.\n"
    "\n"
    "Exit status: 0 success, 1 input or output error, 2 bad usage or refused\n"
    "parameters, 130 stopped by SIGINT, 143 stopped by SIGTERM.\n";

struct Options {
  voluna::RunRequest request;
  std::string listSeries;  // --list-series
  bool listing = false;
  bool help = false;
  bool xml = false;
  bool moduleProgress = false;  // as a module of 3D Slicer
};

struct UsageError {
  std::string message;
};

int parseInt(const std::string& option, const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || value < -2147483647L - 1 ||
      value > 2147483647L) {
    throw UsageError{option + " expects a whole number, got '" + text + "'"};
  }
  return static_cast<int>(value);
}

voluna::Backend parseBackend(const std::string& text) {
  if (text == "auto") return voluna::Backend::Auto;
  if (text == "cpu") return voluna::Backend::Cpu;
  if (text == "cpu-reference") return voluna::Backend::CpuReference;
  if (text == "cuda") return voluna::Backend::Cuda;
  throw UsageError{"--backend expects auto, cpu, cpu-reference or cuda, got '" + text + "'"};
}

Options parseArguments(int argc, char** argv) {
  Options options;
  voluna::RunRequest& request = options.request;
  request.outputPath = "Output.raw";
  bool inputSeen = false;
  bool onlyOperands = false;
  std::string series;
  std::optional<std::string> outputOperand;
  bool outputOption = false;
  bool noiseGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (onlyOperands || arg.size() < 2 || arg[0] != '-') {
      // INPUT OUTPUT, as 3D Slicer runs its modules.
      if (outputOperand) {
        throw UsageError{"at most INPUT and OUTPUT may be given (got '" + request.input.path + "', '" +
                         *outputOperand + "' and '" + arg + "')"};
      }
      if (inputSeen) {
        outputOperand = arg;
      } else {
        request.input = voluna::RunInput::file(arg);
        inputSeen = true;
      }
      continue;
    }
    if (arg == "--") {
      onlyOperands = true;
      continue;
    }
    // 3D Slicer's module format allows no hyphen inside a long flag.
    if (arg.rfind("--", 0) == 0) {
      std::replace(arg.begin() + 2, arg.begin() + std::min(arg.find('='), arg.size()), '_', '-');
    }
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return options;
    }
    if (arg == "--xml") {
      options.xml = true;
      return options;
    }
    if (arg == voluna::kModuleProgressFlag) {
      options.moduleProgress = true;
      continue;
    }
    if (arg == "--preserve-edges") {
      request.params.preserveEdges = true;
      continue;
    }
    if (arg == "--denoise") {
      request.params.denoise = true;
      continue;
    }
    std::string value;
    bool inlineValue = false;
    const size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
      inlineValue = true;
    }
    auto takeValue = [&]() {
      if (inlineValue) return value;
      if (i + 1 >= argc) throw UsageError{arg + " needs a value"};
      return std::string(argv[++i]);
    };
    if (arg == "--samples") {
      request.params.samples = parseInt(arg, takeValue());
    } else if (arg == "--steps") {
      request.params.integrationSteps = parseInt(arg, takeValue());
    } else if (arg == "--noise") {
      const std::string text = takeValue();
      char* end = nullptr;
      const double noise = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !std::isfinite(noise)) {
        throw UsageError{"--noise expects a number, the noise's standard deviation in the input's units, got '" +
                         text + "'"};
      }
      request.params.noise = noise < 0 ? -1.0 : noise;
      noiseGiven = true;
    } else if (arg == "--angle") {
      request.params.angleStep = parseInt(arg, takeValue());
    } else if (arg == "-o" || arg == "--output") {
      request.outputPath = takeValue();
      outputOption = true;
      if (request.outputPath.empty()) throw UsageError{arg + " needs a file name"};
    } else if (arg == "--output-type") {
      const std::string type = takeValue();
      if (type == "uint8") {
        request.resultType = voluna::ResultType::UInt8;
      } else if (type == "input") {
        request.resultType = voluna::ResultType::Input;
      } else if (type == "float32") {
        request.resultType = voluna::ResultType::Float32;
      } else {
        throw UsageError{"--output-type expects uint8, input or float32, got '" + type + "'"};
      }
    } else if (arg == "--backend") {
      request.backend = parseBackend(takeValue());
    } else if (arg == "--memory") {
      const std::string text = takeValue();
      request.memoryBytes = voluna::parseMemorySize(text);
      if (request.memoryBytes < 0) {
        throw UsageError{"--memory expects a size such as 512M or 8G, got '" + text + "'"};
      }
    } else if (arg == "--series") {
      series = takeValue();
      if (series.empty()) throw UsageError{"--series needs a Series Instance UID"};
    } else if (arg == "--list-series") {
      options.listSeries = takeValue();
      options.listing = true;
    } else if (arg == "--threads") {
      request.threads = parseInt(arg, takeValue());
      if (request.threads < 0) throw UsageError{"--threads must be 0 (every core) or more"};
    } else {
      throw UsageError{"unknown option '" + arg + "'"};
    }
  }
  if (options.listing) {
    if (inputSeen) throw UsageError{"--list-series takes its PATH and no INPUT"};
    return options;
  }
  if (!inputSeen) throw UsageError{"no INPUT volume given"};
  // Slicer passes every parameter; only a person's --noise without --denoise is a slip.
  if (noiseGiven && !request.params.denoise && request.params.noise >= 0 && !options.moduleProgress) {
    throw UsageError{"--noise sets the strength of --denoise; add --denoise"};
  }
  request.input.series = series;
  if (outputOperand) {
    if (outputOption) {
      throw UsageError{"the result was named twice ('" + request.outputPath + "' and '" + *outputOperand +
                       "'): give either -o FILE or OUTPUT"};
    }
    if (outputOperand->empty()) throw UsageError{"OUTPUT needs a file name"};
    std::error_code error;
    // A stray second name must not silently replace an input; -o still can.
    if (std::filesystem::equivalent(request.input.path, *outputOperand, error)) {
      throw UsageError{"OUTPUT '" + *outputOperand + "' is INPUT itself; name another file (or replace it with -o)"};
    }
    request.outputPath = *outputOperand;
  }
  return options;
}

int fail(int code, const std::string& message) {
  std::fprintf(stderr, "voluna-filter: %s\n", message.c_str());
  if (code == kExitUsage) std::fprintf(stderr, "Try 'voluna-filter --help' for more information.\n");
  return code;
}

// One line a series; tabs, since descriptions hold spaces.
int printSeries(const std::string& path) {
  const voluna::SeriesListing listing = voluna::listSeries(path);
  if (!listing.ok()) return fail(kExitInputOutput, listing.error);
  for (const voluna::SeriesInfo& s : listing.series) {
    std::printf("%s\t%s\t%s\t%d %s\t%d x %d x %d\t%s\n", s.uid.c_str(), s.modality.c_str(), s.description.c_str(),
                s.images, s.images == 1 ? "image" : "images", s.width, s.height, s.depth, s.problem().c_str());
  }
  for (const std::string& notice : listing.notices) std::fprintf(stderr, "voluna-filter: %s\n", notice.c_str());
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = parseArguments(argc, argv);
  } catch (const UsageError& error) {
    return fail(kExitUsage, error.message);
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (options.listing) return printSeries(options.listSeries);
  if (options.xml) {
    std::fputs(voluna::slicerModuleDescription().c_str(), stdout);
    return kExitOk;
  }
  voluna::RunRequest& request = options.request;
  voluna::TerminalProgress bar(stderr);
  // The bar only where a person watches; scripts get nothing extra. Slicer
  // reads progress from standard output, and takes a line on standard error
  // for a failure, so notices go to standard output there.
  std::optional<voluna::SlicerProgress> slicerProgress;
  std::FILE* const notices = options.moduleProgress ? stdout : stderr;
  if (options.moduleProgress) {
    slicerProgress.emplace(stdout, request.params);
    request.progress = std::ref(*slicerProgress);
  } else if (::isatty(STDERR_FILENO)) {
    request.progress = [&](voluna::Stage stage, double fraction) { bar.update(stage, fraction); };
  }
  request.onNotice = [&](const voluna::Notice& notice) {
    // Bricks report the whole run's fraction, from here on.
    if (notice.kind == voluna::Notice::Kind::Streamed && slicerProgress) slicerProgress->reportsWholeRun();
    size_t start = 0;
    for (size_t end; (end = notice.text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::fprintf(notices, "voluna-filter: %s\n", notice.text.substr(start, end - start).c_str());
    }
    std::fprintf(notices, "voluna-filter: %s\n", notice.text.c_str() + start);
  };

  voluna::PipelineRun run(std::move(request));
  runToCancel = &run;
  catchStopSignals();
  const voluna::RunOutcome outcome = run.run();
  bar.finish();
  if (outcome.ok()) return kExitOk;
  if (outcome.status == voluna::RunOutcome::Status::Refused) return fail(kExitUsage, outcome.message);
  if (stopSignal) return stoppedExitCode();
  return fail(kExitInputOutput, outcome.message);
}
