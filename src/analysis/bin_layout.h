#pragma once

#include "analysis/encoder_model.h"

namespace qxw {

// The equal-population layout of bins 1..31 with top splitting, overlap repair and recount,
// from deltaHistogram, channelCount and frameCount. Returns false when it would leave the
// magnitudes 1..65535 (few distinct magnitudes, no nonzero difference); the table is then
// incomplete and placeFallbackBins must replace it.
bool placeEqualPopulationBins(EncoderModel& model);

// One forward sweep over bins 1..31 that removes the overlaps top splitting can leave, moving,
// halving or shrinking bins; changed tells whether it did. Returns false when a bin without
// extra bits would have to shrink.
bool repairOverlaps(EncoderModel& model, bool& changed);

// A table covering every nonzero magnitude that occurs, for input the layout above cannot place.
void placeFallbackBins(EncoderModel& model);

}  // namespace qxw
