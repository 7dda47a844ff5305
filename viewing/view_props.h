// What the two views show: image sources over byte volumes, and the one
// volume prop each view's renderer holds.
#pragma once

#include <vtkImageImport.h>
#include <vtkSmartPointer.h>

#include <cstdint>

#include "dims.h"

class vtkRenderer;

// The importer keeps its own copy of the voxels, so the caller's buffer may
// go away at once while the prop built on the importer lives on.
vtkSmartPointer<vtkImageImport> byteImageSource(const uint8_t* voxels, voluna::Dims dims, const double spacing[3],
                                                const double origin[3]);

// Each renderer holds at most one volume; this removes it, if there is one.
void takeVolumeOut(vtkRenderer* renderer);
