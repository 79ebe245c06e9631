/* Control API of the simulated ExaNIC. A device is a shared-memory object named after the
 * device, so a replay tool, a test or a firmware stand-in in another process can drive the
 * card while the connector reads it through the libexanic functions. */
#ifndef VORN_SIM_CARD_H
#define VORN_SIM_CARD_H

#include <stddef.h>
#include <stdint.h>

#include "vorn_version.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VORN_SIM_REGISTER_WORDS 4096u /* register window: 32-bit words */
#define VORN_SIM_RING_SLOTS 4096u     /* frames per receive channel ring */
#define VORN_SIM_MAX_FRAME 4096u      /* largest frame a slot holds */
#define VORN_SIM_PORTS 2
#define VORN_SIM_CLOCK_HZ 161132812u /* the card's clock: ticks per second, as a 10G card's */

#define VORN_SIM_FIRMWARE_VERSION VORN_FIRMWARE_VERSION /* preset in register 65: the one required */
#define VORN_SIM_VERDICT_OK 1u                          /* preset in register 64 */

typedef struct vorn_sim_card vorn_sim_card_t;

typedef enum vorn_sim_put_mode {
    VORN_SIM_OVERWRITE = 0, /* like the card: a slow reader is lapped */
    VORN_SIM_WAIT = 1       /* wait for room: lossless replay */
} vorn_sim_put_mode;

enum vorn_sim_put_flags { VORN_SIM_FRAME_FAULTY = 1 };

enum vorn_sim_fail {
    VORN_SIM_FAIL_HANDLE = 1,    /* next exanic_acquire_handle */
    VORN_SIM_FAIL_REGISTERS = 2, /* next exanic_get_devkit_registers */
    VORN_SIM_FAIL_RX0 = 4,       /* next exanic_acquire_rx_buffer of port 0 */
    VORN_SIM_FAIL_RX1 = 8        /* next exanic_acquire_rx_buffer of port 1 */
};

typedef struct vorn_sim_counters {
    uint64_t put;   /* frames put on the ring */
    uint64_t taken; /* frames taken by the reader */
    uint64_t lost;  /* frames the reader lost by being lapped */
} vorn_sim_counters;

/* Creates (or resets) the device; registers zero but 65 = firmware version, 64 = verdict 1.
 * 0 on success, -1 with vorn_sim_last_error() set. */
int vorn_sim_create(const char* device);
/* Removes the shared-memory object; handles already open stay valid. 0 or -1. */
int vorn_sim_remove(const char* device);
/* Opens a control handle on an existing device; NULL when it does not exist. */
vorn_sim_card_t* vorn_sim_open(const char* device);
void vorn_sim_close(vorn_sim_card_t* card);
const char* vorn_sim_last_error(void);

uint32_t vorn_sim_read_reg(vorn_sim_card_t* card, uint32_t reg);
void vorn_sim_write_reg(vorn_sim_card_t* card, uint32_t reg, uint32_t value);

/* Each port is a ring with ONE producer (one thread in one process calls vorn_sim_put_frame
 * for a port at a time) and ONE reader (one exanic_rx_t in use per port). A new receive buffer
 * starts where the previous reader of the port stopped. A reader that was lapped gets
 * -EXANIC_RX_FRAME_SWOVFL once; the frames it missed count as lost and it goes on with the
 * newest frame put. */
/* Puts one frame on port 0 or 1. flags: VORN_SIM_FRAME_FAULTY. 0 on success, -1 for a bad
 * port or a frame longer than VORN_SIM_MAX_FRAME. In VORN_SIM_WAIT mode it spins until the
 * reader has made room, and gives up with -1 when the reader frees no slot for 10 s. */
int vorn_sim_put_frame(vorn_sim_card_t* card, int port, const void* frame, size_t len, vorn_sim_put_mode mode,
                       unsigned flags);
/* Frames put but not yet taken on a port. */
uint64_t vorn_sim_backlog(vorn_sim_card_t* card, int port);
int vorn_sim_get_counters(vorn_sim_card_t* card, int port, vorn_sim_counters* out);
/* Feeding from the reader's thread: every receive buffer of `port` of this device that this
 * process acquires afterwards calls refill(context) whenever it finds the ring empty, then
 * looks again. refill may put frames on the port (it is then the port's one producer). A tool
 * that both feeds and reads a card so runs on one thread, and the reader never waits for a
 * producer on another core. refill NULL: no hook for buffers acquired afterwards.
 * 0, or -1 for a bad port. */
int vorn_sim_set_refill(vorn_sim_card_t* card, int port, void (*refill)(void* context), void* context);
/* Makes the next acquisitions named by `what` (vorn_sim_fail bits) fail once each. */
void vorn_sim_fail_next(vorn_sim_card_t* card, unsigned what);

/* CLOCK_REALTIME in nanoseconds: the host clock the card's clock follows. Frames are stamped
 * when put with the card's clock (VORN_SIM_CLOCK_HZ ticks since the epoch), which the card
 * publishes in its clock registers and info page as it stamps. */
uint64_t vorn_sim_now_ns(void);
/* Card time, in nanoseconds since the epoch, of the frame that exanic_receive_frame last
 * returned on `port` in this process (0 before the first): with vorn_sim_now_ns, lets an
 * application measure put-to-callback latency. */
uint64_t vorn_sim_last_rx_put_ns(int port);

#ifdef __cplusplus
}
#endif
#endif
