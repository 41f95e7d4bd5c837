// A program that reaches into the encoder: the build must refuse it.
#include "encoder/output_stream.h"
