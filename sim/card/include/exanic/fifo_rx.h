/* Simulated ExaNIC receive channels: libexanic's receive functions, same prototypes. */
#ifndef VORN_SIM_EXANIC_FIFO_RX_H
#define VORN_SIM_EXANIC_FIFO_RX_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <exanic/exanic.h>
#include <exanic/time.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct exanic_rx exanic_rx_t;

/* Frame receive errors, as libexanic reports them. */
enum {
    EXANIC_RX_FRAME_CORRUPT = 2,    /* returned negated: the frame failed its check */
    EXANIC_RX_FRAME_SWOVFL = 256,   /* returned negated: the reader was lapped */
    EXANIC_RX_FRAME_TRUNCATED = 257 /* returned negated: the frame exceeds the buffer */
};

exanic_rx_t* exanic_acquire_rx_buffer(exanic_t* exanic, int port_number, int buffer_number);
void exanic_release_rx_buffer(exanic_rx_t* rx);
ssize_t exanic_receive_frame(exanic_rx_t* rx, char* rx_buf, size_t rx_buf_size, exanic_cycles32_t* timestamp);

#ifdef __cplusplus
}
#endif
#endif
