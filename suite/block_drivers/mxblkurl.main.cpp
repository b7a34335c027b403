// The URL-block driver stand-in: loaded by the machine's service manager.
#include "suite/block_drivers/block_driver_settings.h"

int main(int argc, char** argv) { return zv::suite::RunBlockDriver(zv::suite::BlockDriverKind::Url, argc, argv); }
