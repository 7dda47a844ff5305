#include "view_props.h"

#include <vtkRenderer.h>
#include <vtkVolume.h>
#include <vtkVolumeCollection.h>

vtkSmartPointer<vtkImageImport> byteImageSource(const uint8_t* voxels, voluna::Dims dims, const double spacing[3],
                                                const double origin[3]) {
  auto importer = vtkSmartPointer<vtkImageImport>::New();
  importer->SetDataSpacing(spacing[0], spacing[1], spacing[2]);
  importer->SetDataOrigin(origin[0], origin[1], origin[2]);
  importer->SetWholeExtent(0, dims.x - 1, 0, dims.y - 1, 0, dims.z - 1);
  importer->SetDataExtentToWholeExtent();
  importer->SetDataScalarTypeToUnsignedChar();
  importer->SetNumberOfScalarComponents(1);
  importer->CopyImportVoidPointer(const_cast<uint8_t*>(voxels), static_cast<vtkIdType>(dims.count()));
  importer->Update();
  return importer;
}

void takeVolumeOut(vtkRenderer* renderer) {
  vtkVolumeCollection* volumes = renderer->GetVolumes();
  const int count = volumes->GetNumberOfItems();
  if (count > 0) renderer->RemoveVolume(vtkVolume::SafeDownCast(volumes->GetItemAsObject(count - 1)));
}
