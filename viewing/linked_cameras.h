// Both views look through one camera, so that turning, zooming or panning
// either one shows the other from the same side; each move a person makes in
// one view redraws the other.
#pragma once

#include <vtkInteractorStyleImage.h>
#include <vtkInteractorStyleTrackballCamera.h>
#include <vtkSmartPointer.h>

#include <functional>

class vtkCamera;
class vtkRenderWindow;
class vtkRenderWindowInteractor;

// The 3D views' mouse and keys: VTK's trackball camera, except that every
// change of the camera is announced, the reset key ('r') included.
class VolumeInteractorStyle : public vtkInteractorStyleTrackballCamera {
 public:
  static VolumeInteractorStyle* New();
  vtkTypeMacro(VolumeInteractorStyle, vtkInteractorStyleTrackballCamera);
  void OnChar() override;
};

// The slice views' mouse: the left or middle button pans, the right button
// zooms, the wheel steps through slices and a move reports the point under
// the mouse. Nothing turns the slice out of its plane or changes its grey
// window behind the ramp's back.
class SliceInteractorStyle : public vtkInteractorStyleImage {
 public:
  static SliceInteractorStyle* New();
  vtkTypeMacro(SliceInteractorStyle, vtkInteractorStyleImage);

  // Called with +1 or -1 for each wheel notch.
  std::function<void(int)> onStep;
  // Called with the mouse's display position (VTK's, origin bottom left),
  // and with (-1, -1) when the mouse leaves the view.
  std::function<void(int, int)> onHover;

  void OnLeftButtonDown() override { Superclass::OnMiddleButtonDown(); }
  void OnLeftButtonUp() override { Superclass::OnMiddleButtonUp(); }
  void OnMouseWheelForward() override;
  void OnMouseWheelBackward() override;
  void OnMouseMove() override;
  void OnLeave() override;
  void OnChar() override;
};

class LinkedCameras {
 public:
  // Gives the second window's renderer the first one's camera.
  LinkedCameras(vtkRenderWindow* first, vtkRenderWindow* second);
  ~LinkedCameras();
  LinkedCameras(const LinkedCameras&) = delete;
  LinkedCameras& operator=(const LinkedCameras&) = delete;

  vtkCamera* camera() const;
  // Puts `style` on the view's interactor; when it moves the camera, the
  // other view is rendered too. view is 0 (first) or 1 (second).
  void setStyle(int view, vtkInteractorStyle* style);

 private:
  static void onMove(vtkObject* caller, unsigned long, void* self, void*);

  vtkRenderWindow* windows_[2];
  vtkInteractorStyle* styles_[2] = {nullptr, nullptr};
  unsigned long tags_[2][2] = {{0, 0}, {0, 0}};
  bool rendering_ = false;
};
