// The main window's form: every widget, text, range and initial value, in the
// style of a generated form so the window reaches each control by name.
#pragma once

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtCore/QRect>
#include <QtCore/QSize>
#include <QtGui/QFont>
#include <QtGui/QFontMetrics>
#include <QtGui/QIcon>
#include <QtWidgets/QAction>
#include <QtWidgets/QDoubleSpinBox>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMainWindow>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QSpinBox>
#include <QtWidgets/QWidget>

#include <algorithm>

#include <QVTKOpenGLNativeWidget.h>

QT_BEGIN_NAMESPACE

class Ui_Voluna {
 public:
  QAction* actionOpenFile;
  QAction* actionExit;
  QAction* actionPrint;
  QAction* actionHelp;
  QAction* actionSave;
  QAction* action_oeffnen;
  QAction* action_speichern;
  QWidget* centralwidget;
  QGridLayout* gridLayout;
  QHBoxLayout* horizontalLayout;
  QGridLayout* gridLayout_2;
  QVTKOpenGLNativeWidget* view2;
  QVTKOpenGLNativeWidget* view1;
  QGridLayout* gridLayout_3;
  QGroupBox* groupBox;
  QLabel* label;
  QSpinBox* sampleSpinBox;
  QPushButton* filterBtn;
  QLabel* label_3;
  QLabel* label_2;
  QSpinBox* anglesSpinBox;
  QSpinBox* integrationStepsSpinBox;
  QGroupBox* groupBox_2;
  QDoubleSpinBox* windowSpinner;
  QDoubleSpinBox* levelSpinner;
  QLabel* label_4;
  QLabel* label_5;
  QMenuBar* menuBar;
  QMenu* menuDatei;

  void setupUi(QMainWindow* Voluna) {
    if (Voluna->objectName().isEmpty()) Voluna->setObjectName(QString::fromUtf8("Voluna"));
    Voluna->resize(967, 704);
    QIcon icon;
    icon.addFile(QString::fromUtf8(":/Icons/help.png"), QSize(), QIcon::Normal, QIcon::Off);
    Voluna->setWindowIcon(icon);
    Voluna->setIconSize(QSize(22, 22));

    actionOpenFile = new QAction(Voluna);
    actionOpenFile->setObjectName(QString::fromUtf8("actionOpenFile"));
    QIcon icon1;
    icon1.addFile(QString::fromUtf8(":/Icons/fileopen.png"), QSize(), QIcon::Normal, QIcon::Off);
    actionOpenFile->setIcon(icon1);
    actionExit = new QAction(Voluna);
    actionExit->setObjectName(QString::fromUtf8("actionExit"));
    QIcon icon2;
    icon2.addFile(QString::fromUtf8("."), QSize(), QIcon::Normal, QIcon::Off);
    actionExit->setIcon(icon2);
    actionPrint = new QAction(Voluna);
    actionPrint->setObjectName(QString::fromUtf8("actionPrint"));
    QIcon icon3;
    icon3.addFile(QString::fromUtf8(":/Icons/print.png"), QSize(), QIcon::Normal, QIcon::Off);
    actionPrint->setIcon(icon3);
    actionHelp = new QAction(Voluna);
    actionHelp->setObjectName(QString::fromUtf8("actionHelp"));
    actionHelp->setIcon(icon);
    actionSave = new QAction(Voluna);
    actionSave->setObjectName(QString::fromUtf8("actionSave"));
    QIcon icon4;
    icon4.addFile(QString::fromUtf8(":/Icons/filesave.png"), QSize(), QIcon::Normal, QIcon::Off);
    actionSave->setIcon(icon4);
    action_oeffnen = new QAction(Voluna);
    action_oeffnen->setObjectName(QString::fromUtf8("action_oeffnen"));
    action_speichern = new QAction(Voluna);
    action_speichern->setObjectName(QString::fromUtf8("action_speichern"));
    action_speichern->setEnabled(false);

    centralwidget = new QWidget(Voluna);
    centralwidget->setObjectName(QString::fromUtf8("centralwidget"));
    gridLayout = new QGridLayout(centralwidget);
    gridLayout->setObjectName(QString::fromUtf8("gridLayout"));
    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setSpacing(30);
    horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));
    horizontalLayout->setSizeConstraint(QLayout::SetMaximumSize);
    gridLayout_2 = new QGridLayout();
    gridLayout_2->setSpacing(6);
    gridLayout_2->setObjectName(QString::fromUtf8("gridLayout_2"));
    gridLayout_2->setSizeConstraint(QLayout::SetMaximumSize);

    view2 = new QVTKOpenGLNativeWidget(centralwidget);
    view2->setObjectName(QString::fromUtf8("view2"));
    QSizePolicy viewPolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    viewPolicy.setHorizontalStretch(0);
    viewPolicy.setVerticalStretch(1);
    viewPolicy.setHeightForWidth(view2->sizePolicy().hasHeightForWidth());
    view2->setSizePolicy(viewPolicy);
    view2->setMinimumSize(QSize(230, 180));
    gridLayout_2->addWidget(view2, 1, 0, 1, 1);
    view1 = new QVTKOpenGLNativeWidget(centralwidget);
    view1->setObjectName(QString::fromUtf8("view1"));
    viewPolicy.setHeightForWidth(view1->sizePolicy().hasHeightForWidth());
    view1->setSizePolicy(viewPolicy);
    view1->setMinimumSize(QSize(230, 180));
    gridLayout_2->addWidget(view1, 0, 0, 1, 1);
    gridLayout_2->setRowStretch(0, 1);
    horizontalLayout->addLayout(gridLayout_2);

    gridLayout_3 = new QGridLayout();
    gridLayout_3->setObjectName(QString::fromUtf8("gridLayout_3"));
    gridLayout_3->setContentsMargins(-1, 0, -1, 0);

    groupBox = new QGroupBox(centralwidget);
    groupBox->setObjectName(QString::fromUtf8("groupBox"));
    QSizePolicy boxPolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    boxPolicy.setHorizontalStretch(0);
    boxPolicy.setVerticalStretch(0);
    boxPolicy.setHeightForWidth(groupBox->sizePolicy().hasHeightForWidth());
    groupBox->setSizePolicy(boxPolicy);
    groupBox->setMinimumSize(QSize(300, 200));
    groupBox->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Every label reaches up to its spin box at x 210, so that Linux's
    // larger default font still shows the whole text.
    label = new QLabel(groupBox);
    label->setObjectName(QString::fromUtf8("label"));
    label->setGeometry(QRect(10, 30, 200, 21));
    sampleSpinBox = new QSpinBox(groupBox);
    sampleSpinBox->setObjectName(QString::fromUtf8("sampleSpinBox"));
    sampleSpinBox->setGeometry(QRect(210, 30, 42, 22));
    sampleSpinBox->setValue(5);
    filterBtn = new QPushButton(groupBox);
    filterBtn->setObjectName(QString::fromUtf8("filterBtn"));
    filterBtn->setEnabled(false);
    filterBtn->setGeometry(QRect(100, 160, 75, 23));
    label_3 = new QLabel(groupBox);
    label_3->setObjectName(QString::fromUtf8("label_3"));
    label_3->setGeometry(QRect(10, 110, 200, 21));
    label_2 = new QLabel(groupBox);
    label_2->setObjectName(QString::fromUtf8("label_2"));
    label_2->setGeometry(QRect(10, 70, 200, 21));
    anglesSpinBox = new QSpinBox(groupBox);
    anglesSpinBox->setObjectName(QString::fromUtf8("anglesSpinBox"));
    anglesSpinBox->setGeometry(QRect(210, 110, 42, 22));
    anglesSpinBox->setValue(5);
    integrationStepsSpinBox = new QSpinBox(groupBox);
    integrationStepsSpinBox->setObjectName(QString::fromUtf8("integrationStepsSpinBox"));
    integrationStepsSpinBox->setGeometry(QRect(210, 70, 42, 22));
    integrationStepsSpinBox->setValue(5);
    gridLayout_3->addWidget(groupBox, 2, 0, 1, 1, Qt::AlignTop);

    groupBox_2 = new QGroupBox(centralwidget);
    groupBox_2->setObjectName(QString::fromUtf8("groupBox_2"));
    boxPolicy.setHeightForWidth(groupBox_2->sizePolicy().hasHeightForWidth());
    groupBox_2->setSizePolicy(boxPolicy);
    groupBox_2->setMinimumSize(QSize(300, 100));
    groupBox_2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    windowSpinner = new QDoubleSpinBox(groupBox_2);
    windowSpinner->setObjectName(QString::fromUtf8("windowSpinner"));
    windowSpinner->setGeometry(QRect(210, 20, 61, 20));
    windowSpinner->setMaximum(300.0);
    windowSpinner->setSingleStep(5.0);
    windowSpinner->setValue(85.0);
    levelSpinner = new QDoubleSpinBox(groupBox_2);
    levelSpinner->setObjectName(QString::fromUtf8("levelSpinner"));
    levelSpinner->setGeometry(QRect(210, 60, 62, 22));
    levelSpinner->setMaximum(300.0);
    levelSpinner->setSingleStep(5.0);
    levelSpinner->setValue(90.0);
    label_4 = new QLabel(groupBox_2);
    label_4->setObjectName(QString::fromUtf8("label_4"));
    label_4->setGeometry(QRect(10, 20, 200, 21));
    label_5 = new QLabel(groupBox_2);
    label_5->setObjectName(QString::fromUtf8("label_5"));
    label_5->setGeometry(QRect(10, 60, 200, 21));
    gridLayout_3->addWidget(groupBox_2, 1, 0, 1, 1);

    horizontalLayout->addLayout(gridLayout_3);
    horizontalLayout->setStretch(0, 1);
    gridLayout->addLayout(horizontalLayout, 0, 0, 1, 1);
    Voluna->setCentralWidget(centralwidget);

    menuBar = new QMenuBar(Voluna);
    menuBar->setObjectName(QString::fromUtf8("menuBar"));
    menuBar->setGeometry(QRect(0, 0, 967, 21));
    menuDatei = new QMenu(menuBar);
    menuDatei->setObjectName(QString::fromUtf8("menuDatei"));
    Voluna->setMenuBar(menuBar);
    menuBar->addAction(menuDatei->menuAction());
    menuDatei->addAction(action_oeffnen);
    menuDatei->addAction(action_speichern);

    retranslateUi(Voluna);

    QMetaObject::connectSlotsByName(Voluna);
  }

  void retranslateUi(QMainWindow* Voluna) {
    Voluna->setWindowTitle(QCoreApplication::translate("Voluna", "Voluna", nullptr));
    actionOpenFile->setText(QCoreApplication::translate("Voluna", "Open File...", nullptr));
    actionExit->setText(QCoreApplication::translate("Voluna", "Exit", nullptr));
    actionPrint->setText(QCoreApplication::translate("Voluna", "Print", nullptr));
    actionHelp->setText(QCoreApplication::translate("Voluna", "Help", nullptr));
    actionSave->setText(QCoreApplication::translate("Voluna", "Save", nullptr));
    action_oeffnen->setText(QCoreApplication::translate("Voluna", "\303\226ffnen...", nullptr));
    action_speichern->setText(QCoreApplication::translate("Voluna", "Speichern unter...", nullptr));
    groupBox->setTitle(QCoreApplication::translate("Voluna", "Filterparameters", nullptr));
    label->setText(QCoreApplication::translate("Voluna", "Amount of Samples:", nullptr));
    filterBtn->setText(QCoreApplication::translate("Voluna", "Filter", nullptr));
    label_3->setText(QCoreApplication::translate("Voluna", "Angle Sample Rate (Degrees):", nullptr));
    label_2->setText(QCoreApplication::translate("Voluna", "Integration Steps:", nullptr));
    groupBox_2->setTitle(QCoreApplication::translate("Voluna", "Transferfunction (Ramp)", nullptr));
    label_4->setText(QCoreApplication::translate("Voluna", "Opacity Window:", nullptr));
    label_5->setText(QCoreApplication::translate("Voluna", "Opcaity Level:", nullptr));
    menuDatei->setTitle(QCoreApplication::translate("Voluna", "Datei", nullptr));
    for (QLabel* each : {label, label_2, label_3, label_4, label_5}) fitLabel(each);
  }

 private:
  // A label's width ends at its spin box. When a large system font still
  // does not fit, the label grows around its row's centre: first taller for
  // a tall font, then onto a second line, and only if two lines do not fit
  // either does the font shrink, down to 7 pt.
  static void fitLabel(QLabel* label) {
    constexpr int kTallest = 36;  // still clear of the rows 40 above and below
    const QRect row = label->geometry();
    const int centre = row.top() + row.height() / 2;
    auto place = [&](int height, bool wrap) {
      height = std::max(row.height(), std::min(height, kTallest));
      label->setWordWrap(wrap);
      label->setGeometry(row.x(), centre - height / 2, row.width(), height);
    };
    const QString text = label->text();
    QFont font = label->font();
    for (;;) {
      const QFontMetrics metrics(font);
      if (metrics.horizontalAdvance(text) <= row.width() && metrics.height() <= kTallest) {
        place(metrics.height(), false);
        return;
      }
      const QRect wrapped = metrics.boundingRect(QRect(0, 0, row.width(), 1000), Qt::TextWordWrap, text);
      const bool fits = wrapped.width() <= row.width() && wrapped.height() <= kTallest;
      if (fits || font.pointSizeF() <= 7.0 || font.pointSizeF() < 0) {
        place(wrapped.height(), true);
        return;
      }
      font.setPointSizeF(font.pointSizeF() - 0.5);
      label->setFont(font);
    }
  }
};

namespace Ui {
class Voluna : public Ui_Voluna {};
}  // namespace Ui

QT_END_NAMESPACE
