#include "filter_progress.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>

#include "progress_estimate.h"

FilterProgress::FilterProgress(const voluna::FilterParams& params)
    : vectorFieldShare_(voluna::vectorFieldShare(params)) {}

double FilterProgress::overall(voluna::Stage stage, double stageFraction) const {
  return voluna::overallFraction(vectorFieldShare_, stage, stageFraction);
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
