// DICOM series: found in a file's folder, in a folder given whole or
// through a DICOMDIR, ordered by GDCM, read through ITK. Every GDCM read
// happens in a child process behind Voluna's framing check, so no file can
// take the caller down.
#pragma once

#include <string>
#include <vector>

#include "volume.h"

namespace voluna {

// One image series, as a listing shows it.
struct SeriesInfo {
  std::string uid;          // Series Instance UID
  std::string modality;     // "CT", "MR", ... ("" when not given)
  std::string description;  // Series Description ("" when not given)
  std::string number;       // Series Number, as written
  int images = 0;           // image files that can be read
  int width = 0, height = 0;  // columns and rows of its images (of the first, when they differ)
  int depth = 0;            // slices: one an image, or a multi-frame image's frames
  int missing = 0;          // files its DICOMDIR names that are not there
  int unreadable = 0;       // files that are there but cannot be read
  std::vector<std::string> files;  // the readable image files, unordered

  // "" when every file named can be read, else what is wrong with the others.
  std::string problem() const;
};

struct SeriesListing {
  std::vector<SeriesInfo> series;    // in the DICOMDIR's order, or as first found
  std::vector<std::string> notices;  // files a scan skipped, each with why
  std::string error;                 // empty on success; names the path and what is wrong
  bool ok() const { return error.empty(); }
};

// The image series of a DICOMDIR, of a folder (with its subfolders; through
// its DICOMDIR when it has one) or of a DICOM file's folder.
SeriesListing listDicomSeries(const std::string& path);

// Whether `path` is a folder or a DICOMDIR: a way to several series rather
// than a volume file of its own.
bool isSeriesCollection(const std::string& path);

// Reads the series `seriesUid` (empty: a file's own series, or for a folder
// or DICOMDIR the one with the most images) into one volume of the slices'
// common type, ordered by position. Refuses slices that differ in size or
// orientation, two slices at one position and a gap in the series. Returns
// "" or what is wrong without the path; `notice` says which series was taken
// and which files were skipped.
std::string readDicomSeries(const std::string& path, const std::string& seriesUid, Volume& volume,
                            std::string& notice);

}  // namespace voluna
