#include "app/encoder_app.h"

int main(int argc, char** argv) { return qxw::runEncoder(argc, argv); }
