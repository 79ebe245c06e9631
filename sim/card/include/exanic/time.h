/* Simulated ExaNIC: libexanic's time functions the connector uses, in the same header and with
 * the same prototypes as libexanic's. The card's clock counts ticks since the Unix epoch. */
#ifndef VORN_SIM_EXANIC_TIME_H
#define VORN_SIM_EXANIC_TIME_H

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#include <exanic/exanic.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int64_t exanic_cycles_t;    /* the card's full clock, in ticks */
typedef uint32_t exanic_cycles32_t; /* its low 32 bits, as frames are stamped */

/* Widens a frame's stamp to the full clock nearest the card's current time (the stamp must be
 * less than half the 32-bit range old). 0 when the card has no tick rate. */
exanic_cycles_t exanic_expand_timestamp(exanic_t* exanic, exanic_cycles32_t timestamp);
/* Ticks as seconds and nanoseconds since the epoch. */
void exanic_cycles_to_timespec(exanic_t* exanic, exanic_cycles_t cycles, struct timespec* ts);
/* Ticks as nanoseconds since the epoch. */
int64_t exanic_cycles_to_ns(exanic_t* exanic, exanic_cycles_t cycles);

#ifdef __cplusplus
}
#endif
#endif
