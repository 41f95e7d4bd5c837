#include "analysis/encoder_model.h"

namespace qxw {

thread_local EncoderModel* activeModel = nullptr;

}  // namespace qxw
