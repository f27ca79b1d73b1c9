// The driver-wide state every subsystem reaches: defined here, below every layer that uses it.
#include "base/driver.h"

DriverGlobalsRecord DriverGlobals;
const CHAR DriverVersion[DRIVER_VERSION_SIZE] = "2.2.1.167663";
