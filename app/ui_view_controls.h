// The controls that came after the original form: "Preserve edges" and
// "Denoise" in "Filterparameters" and the "Views" group below it. Kept apart from
// Ui_Voluna so that every control the form had keeps its place and name.
#pragma once

#include <QtCore/QCoreApplication>
#include <QtCore/QRect>
#include <QtCore/QSize>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QSlider>
#include <QtWidgets/QSpinBox>

#include "ui_voluna.h"

class Ui_ViewControls {
 public:
  QCheckBox* preserveEdgesCheckBox;
  QCheckBox* denoiseCheckBox;
  QGroupBox* groupBox_3;
  QLabel* label_6;
  QComboBox* viewComboBox;
  QLabel* label_7;
  QSlider* sliceSlider;
  QSpinBox* sliceSpinBox;

  // The entries of viewComboBox, in order.
  enum Entry { Volume = 0, Axial = 1, Coronal = 2, Sagittal = 3 };

  void setupUi(Ui_Voluna& form) {
    // Between the last parameter row and "Filter" (y 160), below the lowest
    // a large font can grow that row's label to (y 139).
    preserveEdgesCheckBox = new QCheckBox(form.groupBox);
    preserveEdgesCheckBox->setObjectName(QString::fromUtf8("preserveEdgesCheckBox"));
    preserveEdgesCheckBox->setGeometry(QRect(10, 139, 140, 20));
    preserveEdgesCheckBox->setChecked(false);
    // Beside it, on the same row: the denoiser, which the filter's three
    // parameters do not steer.
    denoiseCheckBox = new QCheckBox(form.groupBox);
    denoiseCheckBox->setObjectName(QString::fromUtf8("denoiseCheckBox"));
    denoiseCheckBox->setGeometry(QRect(155, 139, 135, 20));
    denoiseCheckBox->setChecked(false);

    groupBox_3 = new QGroupBox(form.centralwidget);
    groupBox_3->setObjectName(QString::fromUtf8("groupBox_3"));
    groupBox_3->setSizePolicy(form.groupBox->sizePolicy());
    groupBox_3->setMinimumSize(QSize(300, 110));
    groupBox_3->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label_6 = new QLabel(groupBox_3);
    label_6->setObjectName(QString::fromUtf8("label_6"));
    label_6->setGeometry(QRect(10, 30, 200, 21));
    viewComboBox = new QComboBox(groupBox_3);
    viewComboBox->setObjectName(QString::fromUtf8("viewComboBox"));
    viewComboBox->setGeometry(QRect(210, 30, 80, 22));
    for (int i = 0; i < 4; ++i) viewComboBox->addItem(QString());
    label_7 = new QLabel(groupBox_3);
    label_7->setObjectName(QString::fromUtf8("label_7"));
    label_7->setGeometry(QRect(10, 70, 50, 21));
    sliceSlider = new QSlider(Qt::Horizontal, groupBox_3);
    sliceSlider->setObjectName(QString::fromUtf8("sliceSlider"));
    sliceSlider->setGeometry(QRect(60, 70, 140, 22));
    sliceSpinBox = new QSpinBox(groupBox_3);
    sliceSpinBox->setObjectName(QString::fromUtf8("sliceSpinBox"));
    sliceSpinBox->setGeometry(QRect(210, 70, 62, 22));
    // Nothing to slice until a volume is open and a slice view is chosen.
    for (QWidget* each : {static_cast<QWidget*>(sliceSlider), static_cast<QWidget*>(sliceSpinBox)}) {
      each->setEnabled(false);
    }
    sliceSlider->setRange(0, 0);
    sliceSpinBox->setRange(0, 0);
    // Below "Filterparameters", so no control of the original form moves.
    form.gridLayout_3->addWidget(groupBox_3, 3, 0, 1, 1, Qt::AlignTop);
    // The space left over gathers under the new group, not above it.
    form.gridLayout_3->setRowStretch(3, 1);

    retranslateUi();
  }

  void retranslateUi() {
    preserveEdgesCheckBox->setText(QCoreApplication::translate("Voluna", "Preserve edges", nullptr));
    denoiseCheckBox->setText(QCoreApplication::translate("Voluna", "Denoise", nullptr));
    denoiseCheckBox->setToolTip(QCoreApplication::translate(
        "Voluna",
        "Denoise instead of filtering: its strength follows the noise it measures in the volume (shown in "
        "the status bar), its neighbourhoods follow the voxel spacing. The three parameters above play no "
        "part.",
        nullptr));
    groupBox_3->setTitle(QCoreApplication::translate("Voluna", "Views", nullptr));
    label_6->setText(QCoreApplication::translate("Voluna", "View:", nullptr));
    viewComboBox->setItemText(Volume, QCoreApplication::translate("Voluna", "3D", nullptr));
    viewComboBox->setItemText(Axial, QCoreApplication::translate("Voluna", "Axial", nullptr));
    viewComboBox->setItemText(Coronal, QCoreApplication::translate("Voluna", "Coronal", nullptr));
    viewComboBox->setItemText(Sagittal, QCoreApplication::translate("Voluna", "Sagittal", nullptr));
    label_7->setText(QCoreApplication::translate("Voluna", "Slice:", nullptr));
  }
};
