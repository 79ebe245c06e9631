/* Simulated ExaNIC: the libexanic device functions the connector uses, in the same headers
 * and with the same prototypes as libexanic. Backed by a shared-memory device (see vorn_sim_card.h). */
#ifndef VORN_SIM_EXANIC_EXANIC_H
#define VORN_SIM_EXANIC_EXANIC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct exanic exanic_t;

exanic_t* exanic_acquire_handle(const char* device_name);
void exanic_release_handle(exanic_t* exanic);
const char* exanic_get_last_error(void);

#ifdef __cplusplus
}
#endif
#endif
