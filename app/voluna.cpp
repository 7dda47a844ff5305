#include "voluna.h"

#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QMessageBox>

#include <vtkRenderer.h>
#include <vtkRendererCollection.h>

#include "ui_voluna.h"

Voluna::Voluna()
    : QMainWindow(nullptr),
      fileDialog([](QWidget* parent, const QString& caption) {
        return QFileDialog::getOpenFileName(parent, caption, QString(), QString());
      }),
      filterBackend(voluna::runFilter) {
  ui = new Ui_Voluna;
  ui->setupUi(this);

  // The native widget draws through Qt's own GL context, which only the
  // generic render window can share.
  renderWindow1 = vtkSmartPointer<vtkGenericOpenGLRenderWindow>::New();
  renderWindow1->AddRenderer(vtkSmartPointer<vtkRenderer>::New());
  ui->view1->setRenderWindow(renderWindow1);
  renderWindow2 = vtkSmartPointer<vtkGenericOpenGLRenderWindow>::New();
  renderWindow2->AddRenderer(vtkSmartPointer<vtkRenderer>::New());
  ui->view2->setRenderWindow(renderWindow2);

  connect(ui->actionExit, SIGNAL(triggered()), this, SLOT(slotExit()));
  connect(ui->action_oeffnen, SIGNAL(triggered()), this, SLOT(openFile()));
  connect(ui->windowSpinner, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, &Voluna::setWindow);
  connect(ui->levelSpinner, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, &Voluna::setLevel);
  connect(ui->filterBtn, SIGNAL(pressed()), this, SLOT(filterVolume()));
}

Voluna::~Voluna() {
  delete ui;
  filteredVolume = nullptr;
  volume = nullptr;
  renderWindow2 = nullptr;
  renderWindow1 = nullptr;
}

void Voluna::setFileDialog(FileDialog dialog) { fileDialog = std::move(dialog); }

void Voluna::setFilterBackend(FilterBackend backend) { filterBackend = std::move(backend); }

void Voluna::slotExit() { QCoreApplication::exit(0); }

void Voluna::Render() {
  ui->view1->renderWindow()->Render();
  ui->view2->renderWindow()->Render();
}

vtkRenderer* Voluna::renderer1() const { return renderWindow1->GetRenderers()->GetFirstRenderer(); }

vtkRenderer* Voluna::renderer2() const { return renderWindow2->GetRenderers()->GetFirstRenderer(); }

void Voluna::showError(const QString& text) { QMessageBox::warning(this, tr("Voluna"), text); }
