#include "linked_cameras.h"

#include <vtkCallbackCommand.h>
#include <vtkCamera.h>
#include <vtkNew.h>
#include <vtkObjectFactory.h>
#include <vtkRenderWindow.h>
#include <vtkRenderWindowInteractor.h>
#include <vtkRenderer.h>
#include <vtkRendererCollection.h>

vtkStandardNewMacro(VolumeInteractorStyle);
vtkStandardNewMacro(SliceInteractorStyle);

void VolumeInteractorStyle::OnChar() {
  Superclass::OnChar();
  // 'r' and the other keys may have moved the camera without an interaction.
  InvokeEvent(vtkCommand::InteractionEvent, nullptr);
}

void SliceInteractorStyle::OnMouseWheelForward() {
  if (onStep) onStep(+1);
}

void SliceInteractorStyle::OnMouseWheelBackward() {
  if (onStep) onStep(-1);
}

void SliceInteractorStyle::OnMouseMove() {
  Superclass::OnMouseMove();
  if (onHover && Interactor) onHover(Interactor->GetEventPosition()[0], Interactor->GetEventPosition()[1]);
}

void SliceInteractorStyle::OnLeave() {
  Superclass::OnLeave();
  if (onHover) onHover(-1, -1);
}

void SliceInteractorStyle::OnChar() {
  // Only the reset key: the image style's other keys would change the grey
  // window or the projection behind the form's back.
  if (Interactor && (Interactor->GetKeyCode() == 'r' || Interactor->GetKeyCode() == 'R')) {
    vtkInteractorStyle::OnChar();
    InvokeEvent(vtkCommand::InteractionEvent, nullptr);
  }
}

namespace {

vtkRenderer* firstRenderer(vtkRenderWindow* window) { return window->GetRenderers()->GetFirstRenderer(); }

}  // namespace

LinkedCameras::LinkedCameras(vtkRenderWindow* first, vtkRenderWindow* second) : windows_{first, second} {
  firstRenderer(second)->SetActiveCamera(firstRenderer(first)->GetActiveCamera());
}

LinkedCameras::~LinkedCameras() {
  for (int view = 0; view < 2; ++view) {
    if (!styles_[view]) continue;
    styles_[view]->RemoveObserver(tags_[view][0]);
    styles_[view]->RemoveObserver(tags_[view][1]);
  }
}

vtkCamera* LinkedCameras::camera() const { return firstRenderer(windows_[0])->GetActiveCamera(); }

void LinkedCameras::setStyle(int view, vtkInteractorStyle* style) {
  if (styles_[view]) {
    styles_[view]->RemoveObserver(tags_[view][0]);
    styles_[view]->RemoveObserver(tags_[view][1]);
  }
  styles_[view] = style;
  vtkRenderWindowInteractor* interactor = windows_[view]->GetInteractor();
  if (interactor) interactor->SetInteractorStyle(style);
  // The style picks the renderer under the mouse itself; naming it keeps it
  // on this view's one renderer.
  style->SetDefaultRenderer(firstRenderer(windows_[view]));
  vtkNew<vtkCallbackCommand> command;
  command->SetCallback(&LinkedCameras::onMove);
  command->SetClientData(this);
  tags_[view][0] = style->AddObserver(vtkCommand::InteractionEvent, command);
  tags_[view][1] = style->AddObserver(vtkCommand::EndInteractionEvent, command);
}

void LinkedCameras::onMove(vtkObject* caller, unsigned long, void* self, void*) {
  auto* links = static_cast<LinkedCameras*>(self);
  if (links->rendering_) return;
  const int other = caller == links->styles_[0] ? 1 : 0;
  links->rendering_ = true;
  // The mover's renderer has fitted the clipping range to its own props;
  // the other view's props lie in the same place, but may be thinner.
  firstRenderer(links->windows_[other])->ResetCameraClippingRange();
  links->windows_[other]->Render();
  links->rendering_ = false;
}
