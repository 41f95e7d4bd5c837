// The model and its statistics lie below the encoder: they cannot reach up to it.
#include "encoder/bit_writer.h"
