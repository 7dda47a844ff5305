#include "slice_view.h"

#include <vtkAlgorithm.h>
#include <vtkCamera.h>
#include <vtkImageData.h>
#include <vtkImageProperty.h>
#include <vtkRenderer.h>
#include <vtkScalarsToColors.h>

#include <algorithm>

SliceView::SliceView(vtkRenderer* renderer)
    : renderer_(renderer),
      mapper_(vtkSmartPointer<vtkImageSliceMapper>::New()),
      slice_(vtkSmartPointer<vtkImageSlice>::New()) {
  // Whole voxels at the image's faces, as the volume rendering shows them.
  mapper_->BorderOn();
  slice_->SetMapper(mapper_);
  // Each voxel one flat square: noise shows as it is, not smoothed over.
  slice_->GetProperty()->SetInterpolationTypeToNearest();
  slice_->GetProperty()->UseLookupTableScalarRangeOn();
}

void SliceView::setSource(vtkAlgorithm* source) {
  hasSource_ = source != nullptr;
  if (source) {
    mapper_->SetInputConnection(source->GetOutputPort(0));
  } else {
    mapper_->RemoveAllInputConnections(0);
    renderer_->RemoveViewProp(slice_);
  }
}

vtkImageData* SliceView::image() const {
  return hasSource_ ? vtkImageData::SafeDownCast(mapper_->GetInputDataObject(0, 0)) : nullptr;
}

void SliceView::setColours(vtkScalarsToColors* colours) { slice_->GetProperty()->SetLookupTable(colours); }

void SliceView::show(int axis, int index) {
  if (axis < 0 || !hasSource_) {
    renderer_->RemoveViewProp(slice_);
    return;
  }
  mapper_->SetOrientation(axis);
  int extent[6];
  image()->GetExtent(extent);
  mapper_->SetSliceNumber(std::clamp(index, extent[2 * axis], extent[2 * axis + 1]));
  if (!renderer_->HasViewProp(slice_)) renderer_->AddViewProp(slice_);
}

void aimAtSlices(vtkCamera* camera, int axis, const double bounds[6]) {
  double centre[3];
  for (int i = 0; i < 3; ++i) centre[i] = 0.5 * (bounds[2 * i] + bounds[2 * i + 1]);
  // Looking down the axis from its far side for axial and sagittal slices
  // and from its near side for coronal ones keeps the other two axes right
  // and up.
  static const double kFrom[3][3] = {{1, 0, 0}, {0, -1, 0}, {0, 0, 1}};
  static const double kUp[3][3] = {{0, 0, 1}, {0, 0, 1}, {0, 1, 0}};
  camera->SetFocalPoint(centre);
  camera->SetPosition(centre[0] + kFrom[axis][0], centre[1] + kFrom[axis][1], centre[2] + kFrom[axis][2]);
  camera->SetViewUp(kUp[axis]);
  camera->ParallelProjectionOn();
}

void fitSlices(vtkCamera* camera, int axis, const double bounds[6], double aspect) {
  // The axes that run right and up on screen, as aimAtSlices sets them.
  static const int kRight[3] = {1, 0, 0};
  static const int kUp[3] = {2, 2, 1};
  const double width = bounds[2 * kRight[axis] + 1] - bounds[2 * kRight[axis]];
  const double height = bounds[2 * kUp[axis] + 1] - bounds[2 * kUp[axis]];
  const double halfHeight = std::max(0.5 * height, aspect > 0.0 ? 0.5 * width / aspect : 0.0);
  if (halfHeight > 0.0) camera->SetParallelScale(1.05 * halfHeight);
}
