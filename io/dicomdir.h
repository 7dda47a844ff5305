// The index of a DICOM disc (its DICOMDIR): which series it names and
// where their image files lie. Read by GDCM in a child process, behind
// Voluna's framing check.
#pragma once

#include <string>
#include <vector>

namespace voluna {

struct DirectoryIndex {
  struct Series {
    std::string uid, modality, description, number;
    // The files its records name, resolved beside the DICOMDIR; "" for one
    // that is not there (or that names a place outside the disc's folder).
    std::vector<std::string> files;
  };
  // In the index's order. Records that name a file before any series come
  // first, under a series without a UID: their own files say where they belong.
  std::vector<Series> series;
  std::vector<std::string> notices;  // what a person should know about the index
  std::string error;                 // empty when the index was read; else why not, without the path
};

DirectoryIndex readDirectoryIndex(const std::string& path);

// A Referenced File ID ("SUB\\IMG001", as the index writes it) as a path
// inside `folder`, matching each part of it regardless of case as discs
// written in upper case are often copied in lower case. False, with `path`
// untouched, for an ID that would leave the folder or names nothing there.
bool resolveFileId(const std::string& folder, const std::string& fileId, std::string& path, std::string& why);

}  // namespace voluna
