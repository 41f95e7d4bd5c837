#include "app/decoder_app.h"

int main(int argc, char** argv) { return qxw::runDecoder(argc, argv); }
