// The URL-block driver stand-in: loaded by the machine's service manager.
#include "platform/system/boot.h"
#include "suite/block_drivers/block_driver_settings.h"

int main(int argc, char** argv) {
  zv::platform::UseMachineTime();
  return zv::suite::RunBlockDriver(zv::suite::BlockDriverKind::Url, argc, argv);
}
