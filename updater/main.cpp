// kalvo-update: writes the built-in FPGA and MCU images to a Kalvo in
// bootloader mode. Arguments are ignored.
#include "updater/update_run.h"

int main() { return run(); }
