/* Simulated ExaNIC: libexanic's utility functions the connector uses, in the same header and
 * with the same prototypes as libexanic's. */
#ifndef VORN_SIM_EXANIC_UTIL_H
#define VORN_SIM_EXANIC_UTIL_H

#include <stdint.h>

#include <exanic/exanic.h>

#ifdef __cplusplus
extern "C" {
#endif

volatile uint32_t* exanic_get_devkit_registers(exanic_t* exanic);

#ifdef __cplusplus
}
#endif
#endif
