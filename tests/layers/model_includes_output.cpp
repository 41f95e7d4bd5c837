// The model and its statistics lie below the encoder's output: they cannot reach up to it.
#include "output/bit_writer.h"
