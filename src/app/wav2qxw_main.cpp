#include "app/console.h"
#include "app/encoder_app.h"

#ifdef _WIN32
// The names on the command line come whole, in UTF-16.
int wmain(int argc, wchar_t** argv) {
  return qxw::runReportingFailures(qxw::runEncoder, argc, argv);
}
#else
int main(int argc, char** argv) { return qxw::runReportingFailures(qxw::runEncoder, argc, argv); }
#endif
