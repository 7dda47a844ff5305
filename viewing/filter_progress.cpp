#include "filter_progress.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>

#include "direction_set.h"

FilterProgress::FilterProgress(const voluna::FilterParams& params) {
  // Samples per voxel: every direction walks 2 * samples steps in the first
  // stage; in the second every integration step takes four field samples
  // and one volume sample, both ways.
  const double fieldWork = double(std::max(1, voluna::directionCount(std::max(1, params.angleStep)))) *
                           (2.0 * params.samples + 1.0);
  const double integrationWork = 2.0 * params.integrationSteps * 5.0 + 1.0;
  vectorFieldShare_ = fieldWork / (fieldWork + integrationWork);
}

double FilterProgress::overall(voluna::Stage stage, double stageFraction) const {
  const double fraction = std::clamp(stageFraction, 0.0, 1.0);
  if (stage == voluna::Stage::VectorField) return vectorFieldShare_ * fraction;
  return vectorFieldShare_ + (1.0 - vectorFieldShare_) * fraction;
}

QString FilterProgress::timeLeft(double elapsedSeconds, double overallFraction) {
  // Below a second or two percent the first rows' speed says little.
  if (elapsedSeconds < 1.0 || overallFraction < 0.02 || overallFraction >= 1.0) return {};
  const long long left = std::llround(elapsedSeconds * (1.0 - overallFraction) / overallFraction);
  if (left < 60) return QCoreApplication::translate("Voluna", "about %1 s left").arg(std::max(1LL, left));
  if (left < 3600) {
    return QCoreApplication::translate("Voluna", "about %1 min %2 s left")
        .arg(left / 60)
        .arg(left % 60, 2, 10, QLatin1Char('0'));
  }
  return QCoreApplication::translate("Voluna", "about %1 h %2 min left")
      .arg(left / 3600)
      .arg(left / 60 % 60, 2, 10, QLatin1Char('0'));
}

QString FilterProgress::stageName(voluna::Stage stage) {
  return stage == voluna::Stage::VectorField ? QStringLiteral("Calculate vectorfield...")
                                             : QStringLiteral("Filtering data...");
}
