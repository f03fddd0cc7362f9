// A libnvoptix.so.1 that lacks the driver's entry point, as a broken or
// foreign installation would.

extern "C" __attribute__((visibility("default"))) int norvi_emu_not_the_entry_point(void) { return 0; }
