#include "app/console.h"
#include "app/decoder_app.h"

int main(int argc, char** argv) { return qxw::runReportingFailures(qxw::runDecoder, argc, argv); }
