/* A minimal C application of libvorn_r10: registers both callbacks, starts the connector with
 * the configuration file given on the command line and prints a few fields of every update.
 * init_connector runs the receive loop on this thread until SIGINT or SIGTERM (Ctrl-C). */
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "VornCffexMd_interface.h"

static void on_version_1(MarketDepthUpdate* update) {
    printf("v1 %-14.31s %.9s.%03d last %.3f bid %.3f x %d ask %.3f x %d trusted %" PRId64 "\n",
           (const char*)update->InstrumentID, (const char*)update->UpdateTime, update->UpdateMillisec,
           update->LastPrice, update->BidPrice1, update->BidVolume1, update->AskPrice1, update->AskVolume1,
           update->Trust_flag);
}

/* The version-2 record is byte-packed: copy it out before reading its 64-bit members. */
static void on_version_2(VornCffexMdType* record) {
    VornCffexMdType update;
    memcpy(&update, record, sizeof update);
    printf("v2 %-14.31s %" PRId64 "s %03d last %" PRId64 " bid %" PRId64 " ask %" PRId64 " (thousandths)\n",
           update.instrument_id, update.UpdateTime, update.update_msec, update.last_price, update.bid1_price,
           update.ask1_price);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CONFIG.ini\n", argv[0]);
        return 2;
    }
    set_parse_data(on_version_1);
    set_parse_data_version_2(on_version_2);
    return init_connector(argv[1]) == 0 ? 0 : 1;
}
