#include "voluna.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include <vtkRenderer.h>
#include <vtkRendererCollection.h>

#include "formats.h"
#include "ui_view_controls.h"
#include "ui_voluna.h"

Voluna::Voluna()
    : QMainWindow(nullptr),
      fileDialog([](QWidget* parent, const QString& caption) {
        return QFileDialog::getOpenFileName(parent, caption, QString(), QString());
      }),
      saveDialog([](QWidget* parent, const QString& caption) {
        return QFileDialog::getSaveFileName(parent, caption, QString(), QString());
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
  connect(ui->action_speichern, SIGNAL(triggered()), this, SLOT(saveResultAs()));
  connect(ui->windowSpinner, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, &Voluna::setWindow);
  connect(ui->levelSpinner, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, &Voluna::setLevel);
  connect(ui->filterBtn, SIGNAL(pressed()), this, SLOT(filterVolume()));
  setUpViewModes();

  // Made now, so the views do not shrink when the first message appears.
  statusBar();
  setAcceptDrops(true);
  progressTimer.setInterval(100);
  connect(&progressTimer, &QTimer::timeout, this, &Voluna::showProgress);
  connect(&filterWatcher, &QFutureWatcherBase::finished, this, [this] {
    // stopFilterAndWait may have taken the result already.
    if (filterRunning()) finishFilter(std::move(*filterWatcher.result()));
  });
}

Voluna::~Voluna() {
  stopFilterAndWait();
  for (auto& style : sliceStyles) {
    style->onStep = nullptr;
    style->onHover = nullptr;
  }
  delete viewControls;
  delete ui;
  filteredVolume = nullptr;
  volume = nullptr;
  renderWindow2 = nullptr;
  renderWindow1 = nullptr;
}

void Voluna::setFileDialog(FileDialog dialog) { fileDialog = std::move(dialog); }

void Voluna::setSaveDialog(SaveDialog dialog) { saveDialog = std::move(dialog); }

void Voluna::setFilterBackend(FilterBackend backend) { filterBackend = std::move(backend); }

void Voluna::slotExit() { QCoreApplication::exit(0); }

void Voluna::Render() {
  ui->view1->renderWindow()->Render();
  ui->view2->renderWindow()->Render();
}

vtkRenderer* Voluna::renderer1() const { return renderWindow1->GetRenderers()->GetFirstRenderer(); }

vtkRenderer* Voluna::renderer2() const { return renderWindow2->GetRenderers()->GetFirstRenderer(); }

void Voluna::showError(const QString& text) { QMessageBox::warning(this, tr("Voluna"), text); }

void Voluna::closeEvent(QCloseEvent* event) {
  stopFilterAndWait();
  QMainWindow::closeEvent(event);
}

QString Voluna::droppedVolume(const QMimeData* data) {
  if (!data || !data->hasUrls() || data->urls().size() != 1) return {};
  const QUrl url = data->urls().first();
  if (!url.isLocalFile()) return {};
  const QString file = url.toLocalFile();
  // The formats "Öffnen..." reads, as io names them.
  return voluna::isVolumeFileName(file.toStdString()) ? file : QString();
}

void Voluna::dragEnterEvent(QDragEnterEvent* event) {
  if (!filterRunning() && !droppedVolume(event->mimeData()).isEmpty()) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void Voluna::dropEvent(QDropEvent* event) {
  const QString file = droppedVolume(event->mimeData());
  if (filterRunning() || file.isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  // Opened once the drop is over: a message box must not hold up the program
  // the file was dragged from.
  QTimer::singleShot(0, this, [this, file] { openVolumeFile(file); });
}
