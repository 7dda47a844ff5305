// One view's 2D slice: an axis-aligned slice of the image its volume prop
// shows, in the same place and with the image's real spacing, coloured
// through the ramp's colour function so that its grey matches the volume's.
#pragma once

#include <vtkImageSlice.h>
#include <vtkImageSliceMapper.h>
#include <vtkSmartPointer.h>

class vtkAlgorithm;
class vtkImageData;
class vtkRenderer;
class vtkScalarsToColors;

// Axis numbers of the three slice orientations: the slice lies across it.
enum SliceAxis { kSagittal = 0, kCoronal = 1, kAxial = 2 };

class SliceView {
 public:
  explicit SliceView(vtkRenderer* renderer);
  SliceView(const SliceView&) = delete;
  SliceView& operator=(const SliceView&) = delete;

  // The image to slice (the source of the view's volume prop), or none.
  void setSource(vtkAlgorithm* source);
  // The sliced image, or null when there is none.
  vtkImageData* image() const;
  void setColours(vtkScalarsToColors* colours);
  // Shows slice `index` across `axis` (clamped to the image), or hides it
  // for axis -1. The prop is in the renderer only while it is shown.
  void show(int axis, int index);
  vtkImageSlice* prop() const { return slice_; }

 private:
  vtkRenderer* renderer_;
  vtkSmartPointer<vtkImageSliceMapper> mapper_;
  vtkSmartPointer<vtkImageSlice> slice_;
  bool hasSource_ = false;
};

// The camera that looks straight at slices across `axis`, centred on
// `bounds` (xmin, xmax, ymin, ymax, zmin, zmax): axial slices show x to the
// right and y up, coronal x and z, sagittal y and z. Parallel projection, so
// a voxel has the same size on screen in every slice.
class vtkCamera;
void aimAtSlices(vtkCamera* camera, int axis, const double bounds[6]);
// Zooms the camera aimed by aimAtSlices so that a slice fills a view of
// this width-to-height ratio, with a small margin.
void fitSlices(vtkCamera* camera, int axis, const double bounds[6], double aspect);
