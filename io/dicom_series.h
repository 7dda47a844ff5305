// A DICOM series found from any one of its files.
#pragma once

#include <string>
#include <vector>

#include "volume.h"

namespace voluna {

struct DicomSeries {
  std::vector<std::string> files;  // ordered by position along the slices' normal
  Geometry geometry;               // origin of the first slice, slice direction, distance between slices
  std::string error;               // empty when the series can be read; else what is wrong, without the file name
  bool ok() const { return error.empty(); }
};

// The files of `path`'s series in its folder (files of other series are left
// out), ordered by position. Refuses slices that differ in size or
// orientation, two slices at one position and a gap in the series.
DicomSeries findDicomSeries(const std::string& path);

// Reads the series' slices into one volume of their common type.
std::string readDicomSeries(const DicomSeries& series, Volume& volume);

}  // namespace voluna
