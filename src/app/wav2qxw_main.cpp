#include "app/console.h"
#include "app/encoder_app.h"

int main(int argc, char** argv) { return qxw::runReportingFailures(qxw::runEncoder, argc, argv); }
