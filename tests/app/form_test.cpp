// The form as a person meets it: menu, texts, ranges, initial values, what
// widening does, and labels that show their whole text.
#include <QApplication>
#include <QDoubleSpinBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolBar>

#include <QVTKOpenGLNativeWidget.h>

#include "window_fixture.h"

namespace {

using FormTest = WindowTest;

TEST_F(FormTest, MenuBarHoldsOnlyDateiWithOeffnenThenSpeichernUnter) {
  const QList<QAction*> menus = ui().menuBar->actions();
  ASSERT_EQ(menus.size(), 1);
  EXPECT_EQ(menus[0]->text(), QString("Datei"));
  const QList<QAction*> entries = ui().menuDatei->actions();
  ASSERT_EQ(entries.size(), 2);
  EXPECT_EQ(entries[0]->text(), QString::fromUtf8("\xC3\x96" "ffnen..."));
  EXPECT_EQ(entries[1]->text(), QString("Speichern unter..."));
  // Nothing to save before a result exists.
  EXPECT_FALSE(entries[1]->isEnabled());
  EXPECT_EQ(window->menuBar(), ui().menuBar);
  // The other actions exist but are placed nowhere.
  EXPECT_TRUE(window->findChildren<QToolBar*>().isEmpty());
  for (QAction* unplaced : {ui().actionOpenFile, ui().actionExit, ui().actionPrint, ui().actionHelp, ui().actionSave}) {
    EXPECT_TRUE(unplaced->associatedWidgets().isEmpty()) << unplaced->text().toStdString();
    EXPECT_TRUE(unplaced->isEnabled());
  }
  EXPECT_EQ(ui().actionOpenFile->text(), QString("Open File..."));
  EXPECT_EQ(ui().actionExit->text(), QString("Exit"));
  EXPECT_EQ(ui().actionPrint->text(), QString("Print"));
  EXPECT_EQ(ui().actionHelp->text(), QString("Help"));
  EXPECT_EQ(ui().actionSave->text(), QString("Save"));
}

TEST_F(FormTest, TextsAndTitlesAreTheSystemsOwn) {
  EXPECT_EQ(window->windowTitle(), QString("Voluna"));
  EXPECT_EQ(window->objectName(), QString("Voluna"));
  EXPECT_EQ(ui().groupBox->title(), QString("Filterparameters"));
  EXPECT_EQ(ui().groupBox_2->title(), QString("Transferfunction (Ramp)"));
  EXPECT_EQ(ui().label->text(), QString("Amount of Samples:"));
  EXPECT_EQ(ui().label_2->text(), QString("Integration Steps:"));
  EXPECT_EQ(ui().label_3->text(), QString("Angle Sample Rate (Degrees):"));
  EXPECT_EQ(ui().label_4->text(), QString("Opacity Window:"));
  EXPECT_EQ(ui().label_5->text(), QString("Opcaity Level:"));
  EXPECT_EQ(ui().filterBtn->text(), QString("Filter"));
  EXPECT_FALSE(ui().filterBtn->isEnabled());
  EXPECT_EQ(window->size(), QSize(967, 704));
  EXPECT_EQ(window->iconSize(), QSize(22, 22));
}

TEST_F(FormTest, SpinBoxesHaveTheirRangesStepsAndInitialValues) {
  for (QSpinBox* box : {ui().sampleSpinBox, ui().integrationStepsSpinBox, ui().anglesSpinBox}) {
    SCOPED_TRACE(box->objectName().toStdString());
    EXPECT_EQ(box->value(), 5);
    EXPECT_EQ(box->text(), QString("5"));
    box->setValue(150);
    EXPECT_EQ(box->value(), 99);
    box->setValue(-3);
    EXPECT_EQ(box->value(), 0);
    box->stepUp();
    EXPECT_EQ(box->value(), 1);
  }
  struct Expected {
    QDoubleSpinBox* box;
    const char* text;
  };
  for (const Expected& each : {Expected{ui().windowSpinner, "85.00"}, Expected{ui().levelSpinner, "90.00"}}) {
    QDoubleSpinBox* box = each.box;
    SCOPED_TRACE(box->objectName().toStdString());
    EXPECT_EQ(box->text(), QString(each.text));
    EXPECT_EQ(box->decimals(), 2);
    const double start = box->value();
    box->stepUp();
    EXPECT_DOUBLE_EQ(box->value(), start + 5.0);
    box->setValue(1000.0);
    EXPECT_DOUBLE_EQ(box->value(), 300.0);
    box->setValue(-1.0);
    EXPECT_DOUBLE_EQ(box->value(), 0.0);
    box->setValue(12.345);
    EXPECT_EQ(box->text(), QString("12.35"));
  }
}

TEST_F(FormTest, OnlyTheLabelsGrewToShowTheirText) {
  // The rows of the filter group, top to bottom, and the ramp group's boxes
  // stay where they were; only the labels reach further right.
  EXPECT_EQ(ui().sampleSpinBox->geometry(), QRect(210, 30, 42, 22));
  EXPECT_EQ(ui().integrationStepsSpinBox->geometry(), QRect(210, 70, 42, 22));
  EXPECT_EQ(ui().anglesSpinBox->geometry(), QRect(210, 110, 42, 22));
  EXPECT_EQ(ui().filterBtn->geometry(), QRect(100, 160, 75, 23));
  EXPECT_EQ(ui().windowSpinner->geometry(), QRect(210, 20, 61, 20));
  EXPECT_EQ(ui().levelSpinner->geometry(), QRect(210, 60, 62, 22));
}

TEST_F(FormTest, WideningGivesEveryExtraPixelToTheViews) {
  const QSize rampBox = ui().groupBox_2->size();
  const QSize filterBox = ui().groupBox->size();
  EXPECT_EQ(rampBox, QSize(300, 100));
  EXPECT_EQ(filterBox, QSize(300, 200));
  // The ramp group stands above the filter group, both right of the views.
  EXPECT_LT(ui().groupBox_2->y(), ui().groupBox->y());
  EXPECT_GT(ui().groupBox->x(), ui().view1->geometry().right());
  EXPECT_LT(ui().view1->y(), ui().view2->y());
  const int viewWidth = ui().view1->width();

  window->resize(window->width() + 300, window->height() + 100);
  QApplication::processEvents();
  EXPECT_EQ(ui().view1->width(), viewWidth + 300);
  EXPECT_EQ(ui().view2->width(), viewWidth + 300);
  EXPECT_EQ(ui().groupBox_2->size(), rampBox);
  EXPECT_EQ(ui().groupBox->size(), filterBox);
}

// Each label shows all its text inside its own rectangle, stops short of its
// spin box and keeps clear of the rows above and below.
void expectLabelsFit(Ui_Voluna& form) {
  struct Row {
    QLabel* label;
    QWidget* box;
  };
  const Row rows[] = {{form.label, form.sampleSpinBox},
                      {form.label_2, form.integrationStepsSpinBox},
                      {form.label_3, form.anglesSpinBox},
                      {form.label_4, form.windowSpinner},
                      {form.label_5, form.levelSpinner}};
  for (const Row& row : rows) {
    QLabel* label = row.label;
    SCOPED_TRACE(label->text().toStdString());
    const QRect room = label->contentsRect();
    const int flags = label->wordWrap() ? int(Qt::TextWordWrap) : 0;
    const QRect needed = QFontMetrics(label->font()).boundingRect(room, flags, label->text());
    EXPECT_LE(needed.width(), room.width());
    EXPECT_LE(needed.height(), room.height());
    EXPECT_LE(label->geometry().right(), row.box->x() - 1);
    const int centreGap = label->geometry().center().y() - row.box->geometry().center().y();
    EXPECT_LE(std::abs(centreGap), 2);
    for (const Row& other : rows) {
      if (other.label != label && other.label->parent() == label->parent()) {
        EXPECT_FALSE(label->geometry().intersects(other.label->geometry())) << other.label->text().toStdString();
      }
    }
    if (label->parent() == form.groupBox) {
      EXPECT_FALSE(label->geometry().intersects(form.filterBtn->geometry()));
    }
  }
}

TEST_F(FormTest, LabelsShowTheirWholeText) {
  expectLabelsFit(ui());
  EXPECT_EQ(ui().groupBox->size(), QSize(300, 200));
  EXPECT_EQ(ui().groupBox_2->size(), QSize(300, 100));
}

TEST_F(FormTest, LabelsShowTheirWholeTextInALargeFont) {
  const QFont original = QApplication::font();
  for (const double points : {12.0, 16.0}) {
    QFont large = original;
    large.setPointSizeF(points);
    QApplication::setFont(large);
    QMainWindow other;
    Ui_Voluna form;
    form.setupUi(&other);
    SCOPED_TRACE(points);
    expectLabelsFit(form);
  }
  QApplication::setFont(original);
}

}  // namespace
