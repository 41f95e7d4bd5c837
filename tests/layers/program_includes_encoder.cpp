// A program that reaches into the encoder: the build must refuse it.
#include "output/output_stream.h"
