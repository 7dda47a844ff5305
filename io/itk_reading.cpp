#include "itk_reading.h"

#include <itkImageIORegion.h>

#include <fstream>
#include <iterator>
#include <new>
#include <sstream>

#include "atomic_file.h"
#include "dims.h"

namespace voluna {

namespace {

// By the names ITK gives its component types, through Voluna's one table.
bool scalarTypeOf(itk::IOComponentEnum component, ScalarType& type) {
  const ScalarTypeInfo* info = scalarTypeOfItk(itk::ImageIOBase::GetComponentTypeAsString(component));
  if (info) type = info->type;
  return info != nullptr;
}

itk::IOComponentEnum componentOf(ScalarType type) {
  return itk::ImageIOBase::GetComponentTypeFromString(scalarInfo(type).itk);
}

std::string withoutLineBreaks(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// ITK's messages start with the source location and may span lines.
std::string itkMessage(const itk::ExceptionObject& error) {
  const std::string text = withoutLineBreaks(error.GetDescription());
  return text.empty() ? std::string("no reason given") : text;
}

}  // namespace

namespace {

std::string readHeaderOrThrow(itk::ImageIOBase* io, const std::string& path, int64_t maxVoxels, ItkHeader& out) {
  out = ItkHeader{};
  io->SetFileName(path);
  io->ReadImageInformation();
  const unsigned nd = io->GetNumberOfDimensions();
  std::string& shown = out.shown;
  for (unsigned i = 0; i < nd; ++i) shown += (i ? " x " : "") + std::to_string(io->GetDimensions(i));
  if (io->GetNumberOfComponents() != 1) {
    return "holds " + std::to_string(io->GetNumberOfComponents()) + " values per voxel (" +
           itk::ImageIOBase::GetPixelTypeAsString(io->GetPixelType()) + " voxels, " + shown +
           "); Voluna reads volumes of one value per voxel";
  }
  if (nd < 1) return "holds no image";
  for (unsigned i = 3; i < nd; ++i) {
    if (io->GetDimensions(i) > 1) {
      return "holds a " + std::to_string(nd) + "D image (" + shown +
             "); Voluna reads one 3D volume: extract a single volume first";
    }
  }
  if (!scalarTypeOf(io->GetComponentType(), out.type)) {
    return "holds voxels of type " + itk::ImageIOBase::GetComponentTypeAsString(io->GetComponentType()) +
           "; Voluna reads uint8, int8, uint16, int16, uint32, int32, float32 and float64";
  }
  const std::string tooMany = maxVoxels == kMaxVoxels
                                  ? "has dimensions " + shown + ", more than the 2^31 - 1 voxels Voluna can hold"
                                  : "has dimensions " + shown + ", more voxels than Voluna can address";
  int64_t* size = out.size;
  for (unsigned i = 0; i < nd && i < 3; ++i) {
    size[i] = static_cast<int64_t>(io->GetDimensions(i));
    if (size[i] < 1) return "has dimensions " + shown + "; every size must be at least 1";
    if (size[i] > kMaxVoxels) return tooMany;
  }
  // Each size is below 2^31 and the first product is checked before the second is formed.
  if (size[0] * size[1] > maxVoxels || size[0] * size[1] * size[2] > maxVoxels) return tooMany;
  for (unsigned i = 0; i < nd && i < 3; ++i) {
    out.geometry.spacing[i] = io->GetSpacing(i);
    out.geometry.origin[i] = io->GetOrigin(i);
    const std::vector<double> axis = io->GetDirection(i);
    for (unsigned r = 0; r < 3; ++r) out.geometry.direction[r * 3 + i] = r < axis.size() ? axis[r] : (r == i ? 1 : 0);
  }
  return {};
}

}  // namespace

std::string readItkHeader(itk::ImageIOBase* io, const std::string& path, int64_t maxVoxels, ItkHeader& out) {
  try {
    return readHeaderOrThrow(io, path, maxVoxels, out);
  } catch (const itk::ExceptionObject& error) {
    return "could not be read (" + itkMessage(error) + ")";
  } catch (const std::exception& error) {
    return std::string("could not be read (") + error.what() + ")";
  }
}

std::string readWithItk(itk::ImageIOBase* io, const std::string& path, Volume& out) {
  out = Volume{};
  try {
    ItkHeader header;
    const std::string problem = readItkHeader(io, path, kMaxVoxels, header);
    if (!problem.empty()) return problem;
    const std::string& shown = header.shown;
    const ScalarType type = header.type;
    out.dims = Dims{static_cast<int>(header.size[0]), static_cast<int>(header.size[1]),
                    static_cast<int>(header.size[2])};
    out.type = type;
    out.geometry = header.geometry;
    try {
      out.data.resize(static_cast<size_t>(out.dims.count()) * scalarSize(type));
    } catch (const std::bad_alloc&) {
      const int64_t bytes = out.dims.count() * static_cast<int64_t>(scalarSize(type));
      out = Volume{};
      return "needs more memory than is available for its " + shown + " voxels (" + std::to_string(bytes) + " bytes)";
    }
    const unsigned nd = io->GetNumberOfDimensions();
    itk::ImageIORegion region(nd);
    for (unsigned i = 0; i < nd; ++i) {
      region.SetIndex(i, 0);
      region.SetSize(i, io->GetDimensions(i));
    }
    io->SetIORegion(region);
    io->Read(out.data.data());
  } catch (const itk::ExceptionObject& error) {
    out = Volume{};
    return "could not be read (" + itkMessage(error) + ")";
  } catch (const std::bad_alloc&) {
    out = Volume{};
    return "needs more memory than is available to be read";
  } catch (const std::exception& error) {
    out = Volume{};
    return std::string("could not be read (") + error.what() + ")";
  }
  return {};
}

namespace {

// Writes into a file ITK opens by name: the AtomicFile's temporary one.
std::string writeInto(itk::ImageIOBase* io, const std::string& file, const Volume& volume) {
  try {
    const Geometry& g = volume.geometry;
    io->SetNumberOfDimensions(3);
    io->SetPixelType(itk::IOPixelEnum::SCALAR);
    io->SetNumberOfComponents(1);
    io->SetComponentType(componentOf(volume.type));
    const int size[3] = {volume.dims.x, volume.dims.y, volume.dims.z};
    itk::ImageIORegion region(3);
    for (unsigned axis = 0; axis < 3; ++axis) {
      io->SetDimensions(axis, static_cast<itk::SizeValueType>(size[axis]));
      io->SetSpacing(axis, g.spacing[axis]);
      io->SetOrigin(axis, g.origin[axis]);
      io->SetDirection(axis, std::vector<double>{g.direction[axis], g.direction[3 + axis], g.direction[6 + axis]});
      region.SetIndex(axis, 0);
      region.SetSize(axis, static_cast<itk::SizeValueType>(size[axis]));
    }
    io->SetIORegion(region);
    io->SetFileName(file);
    io->WriteImageInformation();
    io->Write(volume.data.data());
  } catch (const itk::ExceptionObject& error) {
    return withoutLineBreaks(error.GetDescription());
  } catch (const std::exception& error) {
    return error.what();
  }
  return {};
}

}  // namespace

std::string writeWithItk(itk::ImageIOBase* io, const std::string& path, const std::string& suffix,
                         const Volume& volume) {
  AtomicFile file(path, suffix);
  if (!file.error().empty()) return file.error();
  const std::string problem = writeInto(io, file.temporaryPath(), volume);
  if (!problem.empty()) return path + ": cannot be written (" + problem + ")";
  return file.commit();
}

std::string itkHeaderOfOneVoxel(itk::ImageIOBase* io, const std::string& path, const std::string& suffix,
                                ScalarType type, const Geometry& geometry, std::string& header) {
  header.clear();
  Volume one;
  one.dims = {1, 1, 1};
  one.type = type;
  one.geometry = geometry;
  one.data.assign(scalarSize(type), 0);
  // Never committed: the scratch file goes when `scratch` does.
  AtomicFile scratch(path, suffix);
  if (!scratch.error().empty()) return scratch.error();
  const std::string problem = writeInto(io, scratch.temporaryPath(), one);
  if (!problem.empty()) return path + ": cannot be written (" + problem + ")";
  std::ifstream in(scratch.temporaryPath(), std::ios::binary);
  header.assign(std::istreambuf_iterator<char>(in), {});
  if (header.size() <= one.data.size()) {
    header.clear();
    return path + ": cannot be written (its header could not be made)";
  }
  header.resize(header.size() - one.data.size());
  return {};
}

}  // namespace voluna
