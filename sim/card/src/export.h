// The library builds with hidden visibility; these are the functions it exports.
#ifndef VORN_SIM_CARD_EXPORT_H
#define VORN_SIM_CARD_EXPORT_H

#define VORN_SIM_EXPORT extern "C" __attribute__((visibility("default")))

#endif
