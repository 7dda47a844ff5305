// The length unit of a volume's geometry, as each format states it: NIfTI's
// xyzt_units, NRRD's space units, ImageJ's unit= (TIFF). MetaImage has no
// unit field and every reader of it takes millimetres, so it is written in
// millimetres. ITK's NIfTI reader turns micrometres and metres into
// millimetres; Voluna gives micrometre volumes back in micrometres.
#pragma once

#include <string>

#include "volume.h"

namespace voluna {

// A unit as formats spell it ("um", "micron", "\u00B5m", "mm", "nm", "cm",
// "m", "inch") into Voluna's unit and the factor that turns values in the
// spelled unit into values in Voluna's (nm -> um: 0.001). False for units
// of no length ("pixel", "").
bool parseLengthUnit(const std::string& text, LengthUnit& unit, double& factor);

// Spacing and origin times `factor`.
void scaleGeometry(Geometry& geometry, double factor);

// The same geometry with spacing and origin in millimetres.
Geometry inMillimetres(const Geometry& geometry);

// After a NIfTI read: `spaceUnits` is xyzt_units & 7 of its header.
// `convertedByItk` when ITK read it (ITK turns the spacing of metre and
// micrometre files into millimetres, but not their origin; Voluna's NIfTI-2
// reading takes both as written). Micrometre files stay in micrometres,
// metre files become millimetres whole.
void niftiUnitsAfterRead(int spaceUnits, bool convertedByItk, Geometry& geometry);

// Sets the spatial unit of a NIfTI-1 header that ITK made (ITK always says
// millimetres).
void markNiftiUnits(std::string& header, LengthUnit unit);

// NRRD's "space units" line, which ITK reads but does not write.
std::string nrrdUnitsLine(LengthUnit unit);

// After a NRRD read: its "space units" field as written ("\"um\" \"um\" \"um\"").
void nrrdUnitsAfterRead(const std::string& spaceUnits, Geometry& geometry);

}  // namespace voluna
