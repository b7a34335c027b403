// The zvorx program: the service that answers the minifilter driver.
//
// Owns: only the hand-over from the host's argument vector to the main
// routine. Must not: do any work of its own.
#include "service/startup.h"

int main(int argc, char** argv) {
  return zv::service::ZvorxMain(zv::service::CommandLineFromArguments(argc, argv));
}
