// The formats Voluna reads and writes, one record each: the only place that
// knows which names and which first bytes mean which format, and which
// reader, writer and checks serve it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "volume.h"

namespace voluna {

// The kinds of result file, as a name's extension picks them.
enum class OutputFormat { Raw, MetaImageHeader, MetaImage, Nifti, NiftiGzip, Nrrd, Tiff };

enum class FormatId { MetaImage, Nifti, Nrrd, Tiff, Dicom, Raw };

struct FormatExtension {
  const char* suffix;                  // lower case, with its dot: ".nii.gz"
  std::optional<OutputFormat> output;  // what a result of this name is; none: not written
  bool brickwise = false;              // a streamed run writes it a box at a time
};

struct Format {
  FormatId id;
  const char* name;  // for people: "NIfTI"
  std::vector<FormatExtension> extensions;
  // Whether a file's first bytes (up to 540) are this format's; null when
  // nothing at its start tells it apart.
  bool (*hasMagic)(std::string_view start);
  // The checks made before any library allocates voxels: empty when the
  // file may be read, else what is wrong without the file name. Null: the
  // reader checks each file as it goes (a DICOM series' folder scan).
  std::string (*check)(const std::string& path);
  // Reads a file whose check passed; empty on success, else what is wrong
  // without the file name. Null: not read.
  std::string (*read)(const std::string& path, Volume& out);
  // Writes atomically; empty on success, else a message naming `path`. Null: not written.
  std::string (*write)(const std::string& path, OutputFormat output, const Volume& volume);
  const char* notWritten;  // for an extension without output: why, and what to write instead
  bool streams;            // uncompressed files are read a box at a time
  bool holdsShear;         // keeps a sheared placement (a NIfTI sform)
};

const std::vector<Format>& formats();
const Format& formatOf(FormatId id);

// The format a name's extension picks (case-insensitive), and which of its
// extensions; null for none.
const Format* formatOfName(const std::string& path, const FormatExtension** extension = nullptr);

// The format a file's first bytes show; null when they show none.
const Format* formatOfContent(std::string_view start);

// The format that writes results of this kind.
const Format& formatWriting(OutputFormat output);

// Whether the window offers to open a dropped file: a name with the
// extension of a format Voluna reads, or a regular file with no extension
// at all (DICOM files often have none).
bool isVolumeFileName(const std::string& path);

}  // namespace voluna
