// The decoder sees the format only: the encoder's model is out of its reach.
#include "analysis/encoder_model.h"
