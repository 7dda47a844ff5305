#include <voluna/io.h>

#include <new>
#include <utility>

#include "api_conversions.h"
#include "volume_io.h"

namespace voluna::api {

ReadResult read(const std::string& path) {
  ReadResult result;
  try {
    voluna::LoadResult loaded = voluna::loadVolume(path);
    if (!loaded.ok()) {
      result.status = failure(Status::Code::ReadFailed, loaded.error);
      return result;
    }
    result.image.size = publicSize(loaded.volume.dims);
    result.image.type = publicType(loaded.volume.type);
    copyGeometry(loaded.volume.geometry, result.image.geometry);
    result.image.data = std::move(loaded.volume.data);
    result.status.message = loaded.notice;
  } catch (const std::bad_alloc&) {
    result = {};
    result.status = failure(Status::Code::OutOfMemory, path + ": there is not enough memory to read it");
  }
  return result;
}

Status write(const std::string& path, const Image& image) {
  const std::string problem = imageProblem(image);
  if (!problem.empty()) return failure(Status::Code::InvalidArgument, path + ": cannot be written: " + problem);
  try {
    voluna::Volume volume;
    volume.dims = internalDims(image.size);
    volume.type = internalType(image.type);
    copyGeometry(image.geometry, volume.geometry);
    volume.data = image.data;
    const std::string error = voluna::writeVolume(path, volume);
    if (!error.empty()) return failure(Status::Code::WriteFailed, error);
    return {};
  } catch (const std::bad_alloc&) {
    return failure(Status::Code::OutOfMemory, path + ": there is not enough memory to write it");
  }
}

}  // namespace voluna::api
