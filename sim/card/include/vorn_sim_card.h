/* Control API of the simulated ExaNIC. A device is a shared-memory object named after the
 * device, so a replay tool, a test or a firmware stand-in in another process can drive the
 * card while the connector reads it through the libexanic functions. The object lives in
 * /dev/shm, or in the folder VORN_SIM_SHM_DIR names when it is set (tests keep their cards in a
 * folder of their own). */
#ifndef VORN_SIM_CARD_H
#define VORN_SIM_CARD_H

#include <stddef.h>
#include <stdint.h>

#include "vorn_version.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VORN_SIM_REGISTER_WORDS 4096u /* register window: 32-bit words */
#define VORN_SIM_RING_CHUNKS 16384u  /* 128-byte chunks per receive ring: 2 MiB, as the card's */
#define VORN_SIM_CHUNK_PAYLOAD 120u  /* frame bytes per chunk */
#define VORN_SIM_MAX_FRAME 10240u    /* largest frame put (a jumbo frame) */
#define VORN_SIM_PORTS 2
#define VORN_SIM_CLOCK_HZ 161132812u /* the card's clock: ticks per second, as a 10G card's */

#define VORN_SIM_FIRMWARE_VERSION VORN_FIRMWARE_VERSION /* preset in register 65: the one required */
#define VORN_SIM_VERDICT_OK 1u                          /* preset in register 64 */

typedef struct vorn_sim_card vorn_sim_card_t;

typedef enum vorn_sim_put_mode {
    VORN_SIM_OVERWRITE = 0, /* like the card: a slow reader is lapped */
    VORN_SIM_WAIT = 1       /* wait for room: lossless replay */
} vorn_sim_put_mode;

/* The status the card gives a frame in its last chunk (one error at most; the first named). */
enum vorn_sim_put_flags {
    VORN_SIM_FRAME_FAULTY = 1,     /* failed the card's check: EXANIC_RX_FRAME_CORRUPT */
    VORN_SIM_FRAME_ABORTED = 2,    /* aborted by the sender: EXANIC_RX_FRAME_ABORTED */
    VORN_SIM_FRAME_HW_OVERFLOW = 4 /* frames lost before it in the card: EXANIC_RX_FRAME_HWOVFL */
};

enum vorn_sim_fail {
    VORN_SIM_FAIL_HANDLE = 1,    /* next exanic_acquire_handle */
    VORN_SIM_FAIL_REGISTERS = 2, /* next exanic_get_devkit_registers */
    VORN_SIM_FAIL_RX0 = 4,       /* next exanic_acquire_rx_buffer of port 0 */
    VORN_SIM_FAIL_RX1 = 8        /* next exanic_acquire_rx_buffer of port 1 */
};

typedef struct vorn_sim_counters {
    uint64_t put;           /* frames put on the ring */
    uint64_t taken;         /* frames taken by our reader */
    uint64_t lost;          /* frames our reader lost by being lapped */
    uint64_t skipped;       /* frames put before our reader started, which it never sees */
    uint32_t blind_readers; /* rings mapped through the driver shim (the vendor's reader),
                               whose position the card cannot see */
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

/* Each port is a ring in the card's format (2 MiB of 128-byte chunks) with ONE producer (one
 * thread in one process calls vorn_sim_put_frame for a port at a time) and ONE reader (one
 * exanic_rx_t in use per port), ours or the vendor's library's. A new receive buffer starts
 * after the newest frame put, as the card's library does. A reader that was lapped gets
 * -EXANIC_RX_FRAME_SWOVFL once; the frames it missed count as lost and it goes on after the
 * newest frame put. */
/* Puts one frame on port 0 or 1, stamped with the card's clock. flags: vorn_sim_put_flags.
 * 0 on success, -1 for a bad port or a frame of 0 or more than VORN_SIM_MAX_FRAME bytes. In
 * VORN_SIM_WAIT mode it waits until our reader has taken the chunks the frame would overwrite,
 * and gives up with -1 when it takes none for 10 s. The vendor's reader publishes no position:
 * it is paced from outside (see vorn_sim_room). */
int vorn_sim_put_frame(vorn_sim_card_t* card, int port, const void* frame, size_t len, vorn_sim_put_mode mode,
                       unsigned flags);
/* Laps the port's reader as a card does when the reader falls a ring behind: puts copies of
 * `frame` until the chunk the reader waits at is written a lap later, that chunk last, so a
 * reader waiting for the next frame (ours or the vendor's) finds the lap, never a frame of
 * it. Returns the frames put, or -1 for a bad port or length. */
int64_t vorn_sim_put_lapping(vorn_sim_card_t* card, int port, const void* frame, size_t len);
/* Frames put but not yet taken (nor lost or skipped) by our reader on a port. */
uint64_t vorn_sim_backlog(vorn_sim_card_t* card, int port);
/* Whether a frame of `len` bytes can be put on a port now without overwriting a chunk our
 * reader has not taken: 1 or 0 (0 also for a bad port or length). */
int vorn_sim_room(vorn_sim_card_t* card, int port, size_t len);
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
